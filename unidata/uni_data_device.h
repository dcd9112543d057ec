#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <type_traits>

#include <json/json.h>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "host/smd_vdevice.h"
#include "host/ttime.h"

// A device that reads one fixed, packed record per poll round. It owns the record, applies the
// device settings, completes each round (stamp, publish, checks, history) and restores the
// record from the host's cache. A driver derives from it, fills data_ and calls RoundDone when
// the round's last block is in.
template <typename Data_t, typename Transport, int DATA_ID>
class UniDataDevice : public Transport {
    static_assert(std::is_trivially_copyable<Data_t>::value, "the record is a raw byte image");

  public:
    UniDataDevice() : Transport(), b_mode_(1) {
        std::memset(static_cast<void*>(&data_), 0, sizeof data_);
        b_mode_ = 1;
    }
    ~UniDataDevice() override {}

    using Transport::LoadFromCache;

    // Takes a cached record of exactly the record's size, then completes it like a round.
    int LoadFromCache(const unsigned char* bytes, int length) override {
        if (length != static_cast<int>(sizeof(Data_t)) || bytes == nullptr) return 0;
        std::memcpy(static_cast<void*>(&data_), bytes, sizeof(Data_t));
        this->data_ready_ = true;
        this->RoundDone();
        return 1;
    }

    int RoundDone() override {
        if (!this->data_ready_) this->data_ready_ = true;
        this->last_round_time_ = boost::posix_time::second_clock::local_time();
        const TTime stamp = get_ttime(this->last_round_time_);
        std::memcpy(record_bytes() + offsetof(Data_t, update_time), &stamp, sizeof stamp);
        // Published through the data bus itself, whatever a subclass makes of SendSP.
        this->SMDVDevice::SendSP(DATA_ID, record_bytes(), sizeof(Data_t), false);
        this->Reset();
        this->check_seq_ = 1;
        this->alarm_changed_ = false;
        this->RunCheckThreshold();
        // By index and on a copy of the name: the host's checks may add report signals.
        for (std::size_t i = 0; i < this->report_signals_.size(); ++i) {
            const std::string name = this->report_signals_[i];
            const auto value = this->report_values_.find(name);
            if (value == this->report_values_.end()) continue;
            if (this->CheckAOReport(name, value->second)) this->alarm_changed_ = true;
            // Looked up again: the host's report may have changed its own map meanwhile.
            const auto entry = this->report_values_.find(name);
            if (entry != this->report_values_.end()) {
                this->CheckThreshold(name, std::string(), entry->second, 1);
            }
        }
        std::cout << "rvSize is " << static_cast<int>(this->rule_values_.size()) << std::endl;
        if (this->DoBatchCheckThreshold(this->rule_values_)) this->alarm_changed_ = true;
        this->SaveDeviceHistory(record_bytes(), sizeof(Data_t));
        this->rule_values_.clear();
        return 1;
    }

    int InitSetting(const Json::Value& settings) override {
        data_.data_id = this->data_id_;

        const Json::Value& app = member(settings, "appSetting");
        if (!app.isNull() && app.isObject()) {
            const Json::Value& mode = app["b_mode"];
            if (!mode.isNull()) {
                b_mode_ = std::atoi(mode.asString().c_str());
                std::cout << "InitSetting " << static_cast<uint32_t>(data_.data_id)
                          << " b_mode_:" << b_mode_ << std::endl;
            }
        }

        if (b_mode_ == 3) {
            std::cout << "here 1" << std::endl;
            const Json::Value& thresholds = member(settings, "thresholdSetting");
            if (!thresholds.isNull()) {
                std::cout << "here 2" << std::endl;
                // Entries are named members; an array or a scalar holds none.
                if (thresholds.isObject()) {
                    for (auto entry = thresholds.begin(); entry != thresholds.end(); ++entry) {
                        read_threshold_entry(entry.name(), *entry);
                    }
                }
            }
        }
        return Transport::InitSetting(settings);
    }

    // Limit checks of the device itself; none here.
    virtual void RunCheckThreshold() {}

    Data_t data_;                                      // the current record
    int b_mode_;                                       // working mode from the settings
    std::map<std::string, std::string> alarm_ids_;     // signal key to "NMAlarmID;ID;SignalNumber;"
    std::map<std::string, std::string> signal_names_;  // signal key to configured name

  private:
    unsigned char* record_bytes() { return reinterpret_cast<unsigned char*>(&data_); }

    // A member of an object, or null: settings that are not an object have no members.
    static const Json::Value& member(const Json::Value& object, const char* name) {
        if (!object.isObject()) return Json::Value::nullSingleton();
        return object[name];
    }

    void read_threshold_entry(const std::string& key, const Json::Value& entry) {
        std::cout << "here " << key << std::endl;
        if (!entry.isObject()) return;
        const Json::Value& name = entry["SignalName"];
        if (!name.isNull()) signal_names_[key] = name.asString();
        std::string ids;
        append_id(ids, entry["NMAlarmID"], " NMAlarmID is missing");
        append_id(ids, entry["ID"], " ID is missing");
        append_id(ids, entry["SignalNumber"], " SignalNumber is missing");
        std::cout << "mobile:" << key << ":" << ids << " level:" << this->alarm_levels_[key]
                  << " value:" << this->alarm_values_[key] << std::endl;
        alarm_ids_[key] = ids;
    }

    void append_id(std::string& ids, const Json::Value& id, const char* missing) {
        if (!id.isNull()) {
            ids += id.asString();
        } else {
            std::cout << this->data_id_ << missing << std::endl;
        }
        ids += ";";
    }
};
