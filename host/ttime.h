#pragma once

#include <cstdint>

#include <boost/date_time/posix_time/ptime.hpp>

// The host's packed local time, 7 bytes, stored whole in every published record:
//   offset 0  u16  year, little-endian (e.g. 2026 = EA 07)
//   offset 2  u8   month, 1 to 12
//   offset 3  u8   day of month, 1 to 31
//   offset 4  u8   hour, 0 to 23
//   offset 5  u8   minute, 0 to 59
//   offset 6  u8   second, 0 to 59
// A time that is not a date and time (not_a_date_time, +/- infinity) packs to seven zero bytes.
#pragma pack(push, 1)
struct TTime {
    uint16_t year;
    uint8_t month;
    uint8_t day;
    uint8_t hour;
    uint8_t minute;
    uint8_t second;
};
#pragma pack(pop)

static_assert(sizeof(TTime) == 7, "TTime is 7 packed bytes");

TTime get_ttime(boost::posix_time::ptime local_time);
