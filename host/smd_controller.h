#pragma once

#include <string>

// The host's controller: owns a group of devices and the database they may share.
class SMDController {
  public:
    explicit SMDController(std::string name = {});
    virtual ~SMDController();

    const std::string& name() const { return name_; }

  private:
    std::string name_;
};
