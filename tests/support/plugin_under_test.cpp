#include "tests/support/plugin_under_test.h"

#include <algorithm>

#include <stdexcept>

namespace testing_support {

std::shared_ptr<SMDSPDeviceProvider> LoadedPlugin::device_provider() const {
    auto providers = get_providers()();
    if (providers.size() != 1) throw std::runtime_error("expected one provider");
    auto provider = std::dynamic_pointer_cast<SMDSPDeviceProvider>(providers.front());
    if (!provider) throw std::runtime_error("provider is not a serial-device provider");
    return provider;
}

std::vector<uint16_t> RegisterImage::read(int start, int count) const {
    std::vector<uint16_t> words;
    for (int address = start; address < start + count; ++address) {
        const auto word = registers.find(address);
        words.push_back(word == registers.end() ? 0 : word->second);
    }
    return words;
}

MeterUnderTest::MeterUnderTest()
    : provider_(plugin_.device_provider()), device_(provider_->create()) {
    set_host_backend(*device_, &backend);
}

MeterUnderTest::~MeterUnderTest() {
    device_.reset();
    provider_.reset();
}

int MeterUnderTest::reply(const std::vector<uint16_t>& words, SPModbus::tab_type table) {
    KAVREN_M7& m = meter();
    std::copy(words.begin(), words.end(), m.rx_regs_);
    return m.process_payload(table, static_cast<unsigned int>(words.size()));
}

std::vector<int> MeterUnderTest::run_round(const RegisterImage& image) {
    std::vector<int> results;
    const std::size_t first_read = backend.reads.size();
    meter().RefreshStatus();
    for (std::size_t next = first_read; next < backend.reads.size() && results.size() < 16;
         ++next) {
        const auto read = backend.reads[next];
        results.push_back(reply(image.read(read.first, read.second)));
    }
    return results;
}

std::vector<uint8_t> MeterUnderTest::record_bytes() {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&meter().data_);
    return std::vector<uint8_t>(bytes, bytes + sizeof(KAVREN_M7_Data_t));
}

uint32_t bits_of(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

float f32_at(const std::vector<uint8_t>& record, std::size_t offset) {
    const uint32_t bits = u32_at(record, offset);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

uint16_t u16_at(const std::vector<uint8_t>& record, std::size_t offset) {
    return static_cast<uint16_t>(record.at(offset) | (record.at(offset + 1) << 8));
}

int16_t i16_at(const std::vector<uint8_t>& record, std::size_t offset) {
    const uint16_t bits = u16_at(record, offset);
    int16_t value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

uint32_t u32_at(const std::vector<uint8_t>& record, std::size_t offset) {
    return static_cast<uint32_t>(record.at(offset)) |
           (static_cast<uint32_t>(record.at(offset + 1)) << 8) |
           (static_cast<uint32_t>(record.at(offset + 2)) << 16) |
           (static_cast<uint32_t>(record.at(offset + 3)) << 24);
}

}  // namespace testing_support
