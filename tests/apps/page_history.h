#pragma once

// A history as the page shows it in its browser test and in scripts/lighthouse.sh: rounds a
// minute apart up to a minute ago, with an outage, a stretch of failed rounds and alarm intervals.
#include <cstdint>
#include <string>

namespace testing_support {

struct PageHistory {
    int64_t oldest = 0;
    int64_t outage_from = 0, outage_to = 0;  // no rounds made
    int64_t failed_from = 0, failed_to = 0;  // every round failed
    int64_t raw_from = 0;                    // retention removed the rounds before
};

// Writes `days` days of the meter's rounds into the database at `db` (made when missing), stored
// as the host stores them (with their minutes and hours); the rounds of the first `purged_hours`
// removed as the raw rows' retention would, their minutes and hours kept.
PageHistory write_page_history(const std::string& db, const std::string& meter, int days,
                               int purged_hours = 0);

}  // namespace testing_support
