// Globals and helpers of start-up.
#pragma once

#include <cstdint>
#include <string>

// The identity text answered to command 10.
extern std::string version_info;
// The start-up time stamp (first-start rule).
extern int64_t _time_stamp;

// Day-granular UTC time stamp: ((year - 1970) * 365 + day of year) * 86400.
// Formed in 64 bits, so it stays positive after 2038.
int64_t _get_time_stamp();
