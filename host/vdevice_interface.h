#pragma once

#include <climits>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

class SMDController;
class SMDVDevice;
namespace Json {
class Value;
}

// Root of the host's device chain. The order in which the chain declares its virtual
// operations is the virtual-table layout that the host and every plug-in share: never reorder.
class VDeviceInterface {
  public:
    VDeviceInterface();

    // Measurement by name. Devices that serve none keep this default.
    virtual float Get_Value(unsigned int /*channel*/, const std::string& /*name*/) const {
        throw std::out_of_range("数据未就绪");
    }
    // A cached record as the host stores it; the pointer form decides whether it is taken. A
    // string too long for an int length is passed as INT_MAX so that it can never be mistaken
    // for a record of the right size.
    virtual int LoadFromCache(const std::string& blob) {
        const int length = blob.size() > static_cast<std::size_t>(INT_MAX)
                               ? INT_MAX
                               : static_cast<int>(blob.size());
        return LoadFromCache(reinterpret_cast<const unsigned char*>(blob.data()), length);
    }
    virtual int LoadFromCache(const unsigned char* bytes, int length) = 0;
    virtual uint32_t DataId() const { return data_id_; }
    virtual const std::string& DeviceType() const { return device_type_; }
    virtual int DeviceIoControl(int code, const void* in, int in_length, void* out, int out_length,
                                int& out_used) = 0;
    virtual int RoundDone() = 0;
    virtual bool UseControllerDb() { return use_controller_db_; }
    virtual ~VDeviceInterface();
    virtual int Reset() = 0;
    virtual int InitV(SMDVDevice* parent, unsigned int index, const Json::Value& config) = 0;
    virtual int Init(std::weak_ptr<SMDController> controller, unsigned int index,
                     const Json::Value& config) = 0;
    virtual int InitSetting(const Json::Value& settings) = 0;
    virtual bool IsSupportDevice(const std::string& device_type) const = 0;

    uint32_t data_id_ = 0;            // the device's data id, given by the host
    std::string device_type_;         // device type text
    bool use_controller_db_ = false;  // whether the device shares its controller's database

    VDeviceInterface(const VDeviceInterface&) = delete;
    VDeviceInterface& operator=(const VDeviceInterface&) = delete;
};
