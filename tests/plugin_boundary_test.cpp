// The plug-in as a host sees it: loading, providers, driver objects, inherited defaults.
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <new>
#include <typeinfo>

#include <gtest/gtest.h>

#include "plugin/providers.h"
#include "tests/support/plugin_under_test.h"

// Live heap blocks of this process; the plug-in's allocations resolve to these operators too.
namespace {
std::atomic<long> live_blocks{0};
}  // namespace

void* operator new(std::size_t size) {
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) throw std::bad_alloc();
    ++live_blocks;
    return block;
}
void operator delete(void* block) noexcept {
    if (block == nullptr) return;
    --live_blocks;
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept { operator delete(block); }

namespace {

using testing_support::CapturedStdout;
using testing_support::LoadedPlugin;
using testing_support::MeterUnderTest;

TEST(Providers, OneNewProviderPerCallWithItsDynamicTypeVisibleToTheHost) {
    LoadedPlugin plugin;
    auto first = plugin.get_providers()();
    auto second = plugin.get_providers()();
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_NE(first[0].get(), second[0].get());
    EXPECT_EQ(first[0].use_count(), 1);

    EXPECT_NE(dynamic_cast<SMDSPDeviceProvider*>(first[0].get()), nullptr);
    EXPECT_STREQ(typeid(*first[0]).name(), "17KAVREN_M7Provider");
    EXPECT_TRUE(typeid(*first[0]) != typeid(SMDSPDeviceProvider));
    // The provider's type information is the plug-in's own copy, not imported from the host.
    Dl_info where{};
    ASSERT_NE(dladdr(&typeid(*first[0]), &where), 0);
    EXPECT_NE(std::string(where.dli_fname).find("kavren_m7.so"), std::string::npos);
    // Devices cross the boundary too: the host's view of a driver object as its Modbus device.
    std::unique_ptr<SMDSPDevice> device(plugin.device_provider()->create());
    VDeviceInterface* as_host_root = device.get();
    EXPECT_EQ(dynamic_cast<SPModbus*>(as_host_root), static_cast<SPModbus*>(device.get()));
}

TEST(Providers, CreateGivesIndependentDriversWithTheirDefaults) {
    LoadedPlugin plugin;
    auto provider = plugin.device_provider();
    std::unique_ptr<SMDSPDevice> a(provider->create());
    std::unique_ptr<SMDSPDevice> b(provider->create());
    ASSERT_NE(a, nullptr);
    ASSERT_NE(a.get(), b.get());

    for (SMDSPDevice* device : {a.get(), b.get()}) {
        auto& meter = *static_cast<KAVREN_M7*>(device);
        EXPECT_EQ(device->DeviceType(), "kavren_m7");
        EXPECT_EQ(device->baud_rate_, 9600);
        EXPECT_EQ(device->driver_flag_, 1);
        EXPECT_EQ(meter.b_mode_, 1);
        EXPECT_TRUE(meter.alarm_ids_.empty());
        EXPECT_TRUE(meter.signal_names_.empty());
        const auto* record = reinterpret_cast<const uint8_t*>(&meter.data_);
        EXPECT_EQ(std::count(record, record + 259, 0), 259);
        EXPECT_FALSE(device->data_ready_);
    }

    // The host's members are the host's: DataId and UseControllerDb report what it put there.
    a->data_id_ = 42;
    a->use_controller_db_ = true;
    static_cast<KAVREN_M7*>(a.get())->data_.reg0 = 7;
    EXPECT_EQ(a->DataId(), 42u);
    EXPECT_TRUE(a->UseControllerDb());
    EXPECT_EQ(b->DataId(), 0u);
    EXPECT_FALSE(b->UseControllerDb());
    const uint16_t b_reg0 = static_cast<KAVREN_M7*>(b.get())->data_.reg0;  // packed: copied out
    EXPECT_EQ(b_reg0, 0);
}

template <typename Base>
long blocks_left_after_delete_through() {
    LoadedPlugin plugin;
    auto provider = plugin.device_provider();
    const std::string longer_than_small_string(64, 'x');
    const long before = live_blocks.load();
    auto* meter = static_cast<KAVREN_M7*>(provider->create());
    // Heap-held state in every layer of the chain.
    meter->device_type_ = longer_than_small_string;
    meter->report_signals_.push_back(longer_than_small_string);
    meter->rule_values_.push_back(rule_value{});
    meter->alarm_levels_[longer_than_small_string] = 1;
    meter->alarm_ids_[longer_than_small_string] = longer_than_small_string;
    meter->signal_names_[longer_than_small_string] = longer_than_small_string;
    Base* base = meter;
    delete base;
    return live_blocks.load() - before;
}

TEST(Providers, DeletingThroughAnyClassOfTheChainRunsEveryDestructor) {
    EXPECT_EQ(blocks_left_after_delete_through<VDeviceInterface>(), 0);
    EXPECT_EQ(blocks_left_after_delete_through<SMDVDevice>(), 0);
    EXPECT_EQ(blocks_left_after_delete_through<SMDSPDevice>(), 0);
    EXPECT_EQ(blocks_left_after_delete_through<SPModbus>(), 0);
    EXPECT_EQ(blocks_left_after_delete_through<KAVREN_M7_Base>(), 0);
    EXPECT_EQ(blocks_left_after_delete_through<KAVREN_M7>(), 0);
}

TEST(InheritedDefaults, NoChildDevices) {
    MeterUnderTest m;
    EXPECT_EQ(m.device()->GetChildVDevice(0), nullptr);
    EXPECT_EQ(m.device()->GetChildVDevice(1), nullptr);
    EXPECT_EQ(m.device()->GetChildVDevice(UINT_MAX), nullptr);
    EXPECT_TRUE(m.device()->GetAllChildVDevices().empty());
    EXPECT_TRUE(m.device()->IsSupportDevice("kavren_m7"));
    EXPECT_FALSE(m.device()->IsSupportDevice("KAVREN_M7"));
}

TEST(InheritedDefaults, OnErrorPrintsItsLineOncePerCallAndAnswersZero) {
    MeterUnderTest m;
    CapturedStdout out;
    EXPECT_EQ(m.meter().on_error(), 0);
    EXPECT_EQ(out.text(), "SPModbus get error\n");
    EXPECT_EQ(m.meter().on_error(), 0);
    EXPECT_EQ(out.text(), "SPModbus get error\nSPModbus get error\n");
}

TEST(InheritedDefaults, StringFormOfLoadFromCacheForwardsDataAndSize) {
    MeterUnderTest by_string;
    MeterUnderTest by_pointer;
    std::string blob(259, '\0');
    for (std::size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<char>(i * 7);
    CapturedStdout quiet;
    EXPECT_EQ(by_string.device()->LoadFromCache(blob), 1);
    EXPECT_EQ(by_pointer.device()->LoadFromCache(
                  reinterpret_cast<const unsigned char*>(blob.data()), 259),
              1);
    auto a = by_string.record_bytes();
    auto b = by_pointer.record_bytes();
    EXPECT_TRUE(std::equal(a.begin(), a.begin() + 252, b.begin()));
    EXPECT_EQ(by_string.backend.calls, by_pointer.backend.calls);

    MeterUnderTest empty;
    EXPECT_EQ(empty.device()->LoadFromCache(std::string()), 0);
    EXPECT_TRUE(empty.backend.calls.empty());
}

// A record device of another shape, built on the same template, that keeps every default.
#pragma pack(push, 1)
struct SmallRecord {
    uint32_t data_id;
    uint8_t payload[3];
    TTime update_time;
};
#pragma pack(pop)

class SmallDevice : public UniDataDevice<SmallRecord, SPModbus, 77> {
  public:
    int process_payload(SPModbus::tab_type, unsigned int) override { return 1; }
};

TEST(RecordDeviceTemplate, KeepsTheThrowingGetValueAndReportsNoLimitsOfItsOwn) {
    SmallDevice device;
    RecordingBackend backend;
    set_host_backend(device, &backend);
    for (const char* name : {"UA", "", "anything"}) {
        try {
            device.Get_Value(0, name);
            ADD_FAILURE() << "no exception for " << name;
        } catch (const std::out_of_range& e) {
            EXPECT_STREQ(e.what(), "数据未就绪");
        }
    }
    CapturedStdout out;
    const unsigned char cached[sizeof(SmallRecord)] = {1, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(device.LoadFromCache(cached, static_cast<int>(sizeof cached)), 1);
    EXPECT_EQ(out.text(), "rvSize is 0\n");
    EXPECT_TRUE(backend.limit_reports.empty());
    EXPECT_EQ(device.check_seq_, 1);
    ASSERT_EQ(backend.publications.size(), 1u);
    EXPECT_EQ(backend.publications[0].data_id, 77);
    EXPECT_EQ(backend.publications[0].record.size(), sizeof(SmallRecord));
    // Still the default after a round.
    EXPECT_THROW(device.Get_Value(0, "UA"), std::out_of_range);
}

}  // namespace
