#pragma once

// The host's controller: owns a group of devices and the database they may share. Devices only
// hold it by weak pointer.
class SMDController {
  public:
    SMDController();
    virtual ~SMDController();
};
