// The virtual-table layout shared with the host: slot order is the binary interface.
#include <cxxabi.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/plugin_under_test.h"

namespace {

using testing_support::MeterUnderTest;

// On the Itanium C++ ABI a pointer to a virtual member function holds 1 + the byte offset of
// its slot.
template <typename MemberFunction>
long slot_of(MemberFunction f) {
    static_assert(sizeof f == 2 * sizeof(void*), "Itanium member-function pointer");
    std::uintptr_t word;
    std::memcpy(&word, &f, sizeof word);
    EXPECT_EQ(word % sizeof(void*), 1u) << "not a virtual function";
    return static_cast<long>((word - 1) / sizeof(void*));
}

TEST(VirtualTable, DeclaredOrderSeenFromTheDriverClass) {
    using M = KAVREN_M7;
    EXPECT_EQ(slot_of(&M::Get_Value), 0);
    EXPECT_EQ(slot_of(static_cast<int (M::*)(const std::string&)>(&M::LoadFromCache)), 1);
    EXPECT_EQ(slot_of(static_cast<int (M::*)(const unsigned char*, int)>(&M::LoadFromCache)), 2);
    EXPECT_EQ(slot_of(&M::DataId), 3);
    EXPECT_EQ(slot_of(&M::DeviceType), 4);
    EXPECT_EQ(slot_of(&M::DeviceIoControl), 5);
    EXPECT_EQ(slot_of(&M::RoundDone), 6);
    EXPECT_EQ(slot_of(&M::UseControllerDb), 7);
    // Slots 8 and 9: the destructor (complete and deleting).
    EXPECT_EQ(slot_of(&M::Reset), 10);
    EXPECT_EQ(slot_of(&M::InitV), 11);
    EXPECT_EQ(slot_of(&M::Init), 12);
    EXPECT_EQ(slot_of(&M::InitSetting), 13);
    EXPECT_EQ(slot_of(&M::IsSupportDevice), 14);
    EXPECT_EQ(slot_of(&M::GetChildVDevice), 15);
    EXPECT_EQ(slot_of(&M::GetAllChildVDevices), 16);
    EXPECT_EQ(slot_of(&M::SendSP), 17);
    EXPECT_EQ(slot_of(&M::SendDelayData), 18);
    EXPECT_EQ(slot_of(&M::SendDoData), 19);
    EXPECT_EQ(slot_of(&M::ReadDi), 20);
    EXPECT_EQ(slot_of(&M::ReadAi), 21);
    EXPECT_EQ(slot_of(&M::Get_SP_Value), 22);
    EXPECT_EQ(slot_of(&M::RefreshStatus), 23);
    EXPECT_EQ(slot_of(&M::process), 24);
    EXPECT_EQ(slot_of(&M::IsProcessing), 25);
    EXPECT_EQ(slot_of(&M::IsStalled), 26);
    EXPECT_EQ(slot_of(&M::SendData), 27);
    EXPECT_EQ(slot_of(&M::SendParityData), 28);
    EXPECT_EQ(slot_of(&M::OpenPort), 29);
    EXPECT_EQ(slot_of(&M::ClosePort), 30);
    EXPECT_EQ(slot_of(&M::process_payload), 31);
    EXPECT_EQ(slot_of(&M::on_error), 32);
    EXPECT_EQ(slot_of(&M::RunCheckThreshold), 33);
}

// The plug-in exports only get_providers, so its own functions have no dynamic symbol; their
// names come from the library file's symbol table, by offset from the load address.
std::map<std::uintptr_t, std::string> local_functions_of(const std::string& library) {
    std::map<std::uintptr_t, std::string> names;
    FILE* nm = popen(("nm -C --defined-only '" + library + "'").c_str(), "r");
    if (nm == nullptr) return names;
    char line[4096];
    while (std::fgets(line, sizeof line, nm) != nullptr) {
        char* rest = nullptr;
        const std::uintptr_t offset = std::strtoull(line, &rest, 16);
        if (rest == line || std::strlen(rest) < 4 || (rest[1] != 't' && rest[1] != 'T')) continue;
        std::string name(rest + 3);
        if (!name.empty() && name.back() == '\n') name.pop_back();
        names.emplace(offset, name);
    }
    pclose(nm);
    return names;
}

std::string function_in_slot(const void* object, int slot) {
    const void* const* vtable = *static_cast<const void* const* const*>(object);
    Dl_info info{};
    if (dladdr(vtable[slot], &info) == 0) return "?";
    if (info.dli_sname == nullptr) {
        static const auto plugin_functions = local_functions_of(KAVREN_M7_PLUGIN_PATH);
        if (std::string(info.dli_fname).find("kavren_m7.so") == std::string::npos) return "?";
        const auto offset = reinterpret_cast<std::uintptr_t>(vtable[slot]) -
                            reinterpret_cast<std::uintptr_t>(info.dli_fbase);
        const auto name = plugin_functions.find(offset);
        return name == plugin_functions.end() ? "?" : name->second;
    }
    int status = 0;
    char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
    std::string name = status == 0 ? demangled : info.dli_sname;
    std::free(demangled);
    return name;
}

TEST(VirtualTable, SlotsOfAnObjectMadeByTheBuiltPlugin) {
    MeterUnderTest m;
    const std::string T = "UniDataDevice<KAVREN_M7_Data_t, SPModbus, 5169>::";
    const char* expected[] = {
        "KAVREN_M7::Get_Value(unsigned int, std::",
        "VDeviceInterface::LoadFromCache(std::",
        nullptr,  // the template's pointer form, below
        "VDeviceInterface::DataId() const",
        "VDeviceInterface::DeviceType[abi:cxx11]() const",
        "SMDVDevice::DeviceIoControl(",
        nullptr,  // the template's RoundDone
        "VDeviceInterface::UseControllerDb()",
        "KAVREN_M7::~KAVREN_M7()",
        "KAVREN_M7::~KAVREN_M7()",
        "SMDSPDevice::Reset()",
        "SMDVDevice::InitV(",
        "SMDSPDevice::Init(",
        nullptr,  // the template's InitSetting
        "SMDVDevice::IsSupportDevice(",
        "SMDVDevice::GetChildVDevice(unsigned int)",
        "SMDVDevice::GetAllChildVDevices()",
        "SMDVDevice::SendSP(",
        "SMDVDevice::SendDelayData(int)",
        "SMDVDevice::SendDoData(int, char)",
        "SMDVDevice::ReadDi(int)",
        "SMDVDevice::ReadAi(int)",
        "SMDVDevice::Get_SP_Value(",
        "KAVREN_M7::RefreshStatus()",
        "SPModbus::process(unsigned char*, unsigned int)",
        "SMDSPDevice::IsProcessing()",
        "SMDSPDevice::IsStalled()",
        "SMDSPDevice::SendData(",
        "SMDSPDevice::SendParityData(",
        "SMDSPDevice::OpenPort()",
        "SMDSPDevice::ClosePort()",
        "KAVREN_M7::process_payload(SPModbus::tab_type, unsigned int)",
        "SPModbus::on_error()",
        "KAVREN_M7::RunCheckThreshold()",
    };
    const std::string template_slots[] = {T + "LoadFromCache(unsigned char const*, int)",
                                          T + "RoundDone()", T + "InitSetting(Json::Value const&)"};
    const void* object = static_cast<VDeviceInterface*>(m.device());
    int next_template_slot = 0;
    for (int slot = 0; slot < 34; ++slot) {
        const std::string want =
            expected[slot] != nullptr ? expected[slot] : template_slots[next_template_slot++];
        const std::string got = function_in_slot(object, slot);
        EXPECT_EQ(got.compare(0, want.size(), want), 0) << "slot " << slot << " holds " << got;
    }
}

}  // namespace
