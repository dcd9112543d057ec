#pragma once

#include <memory>
#include <vector>

#include "host/provider.h"

// The plug-in's provider: makes KAVREN_M7 driver objects.
class KAVREN_M7Provider : public SMDSPDeviceProvider {
  public:
    KAVREN_M7Provider();
    ~KAVREN_M7Provider() override;
    SMDSPDevice* create() const override;
};

// The plug-in's entry: one new provider per call.
extern "C" std::vector<std::shared_ptr<Provider>> get_providers();
