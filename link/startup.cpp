#include "link/startup.h"

#include <sys/time.h>

#include <ctime>

#include "platform/system.h"

std::string version_info;
int64_t _time_stamp = 0;

int64_t _get_time_stamp() {
  struct timeval tv;
  platform_gettimeofday(&tv);
  time_t t = tv.tv_sec;
  struct tm tm;
  gmtime_r(&t, &tm);
  return (static_cast<int64_t>(tm.tm_year + 1900 - 1970) * 365 + tm.tm_yday) * 86400;
}
