#include "plugin/kavren_m7.h"

KAVREN_M7::KAVREN_M7() {
    device_type_ = "kavren_m7";
    baud_rate_ = 9600;
    driver_flag_ = 1;
}

KAVREN_M7::~KAVREN_M7() = default;
