// Clock and standby-screen subcommands: clock-set (51), standby-stop (52).
#include <sys/time.h>

#include <cstdio>
#include <ctime>

#include "tools/panelctl/panelctl.h"

namespace {

using hostlink::Packet;

const char* const kClockSetUsage =
    "clock-set [YYYY-MM-DD HH:MM:SS | --now] [--flag 0|1]   (--now, the default: this host's "
    "clock, UTC)";

int clock_usage() {
  fprintf(stderr, "usage: panelctl %s\n", kClockSetUsage);
  return 2;
}

// "YYYY-MM-DD" and "HH:MM:SS" (also accepted as one argument with a blank).
bool parse_date_time(const std::string& date, const std::string& time, struct tm* t) {
  int y, mo, d, h, mi, s;
  char extra;
  if (sscanf(date.c_str(), "%4d-%2d-%2d%c", &y, &mo, &d, &extra) != 3) return false;
  if (sscanf(time.c_str(), "%2d:%2d:%2d%c", &h, &mi, &s, &extra) != 3) return false;
  if (y < 1970 || y > 9999 || mo < 1 || mo > 12 || d < 1 || d > 31 || h < 0 || h > 23 || mi < 0 ||
      mi > 59 || s < 0 || s > 59)
    return false;
  *t = {};
  t->tm_year = y - 1900;
  t->tm_mon = mo - 1;
  t->tm_mday = d;
  t->tm_hour = h;
  t->tm_min = mi;
  t->tm_sec = s;
  return true;
}

int clock_set(Panelctl& ctl, const std::vector<std::string>& args) {
  struct tm t = {};
  bool have_time = false;
  uint8_t flag = 0xFF;  // any value above 1 leaves the device's clock flag alone
  std::vector<std::string> words;
  for (size_t i = 0; i < args.size(); i++) {
    if (args[i] == "--flag") {
      if (i + 1 >= args.size() || (args[i + 1] != "0" && args[i + 1] != "1")) return clock_usage();
      flag = static_cast<uint8_t>(args[++i][0] - '0');
    } else if (args[i] == "--now") {
      if (have_time) return clock_usage();
      have_time = true;
      struct timeval tv;
      gettimeofday(&tv, nullptr);
      time_t now = tv.tv_sec;
      gmtime_r(&now, &t);
    } else {
      words.push_back(args[i]);
    }
  }
  if (words.size() == 1) {  // "YYYY-MM-DD HH:MM:SS" given as one argument
    size_t sp = words[0].find(' ');
    if (sp == std::string::npos) return clock_usage();
    words = {words[0].substr(0, sp), words[0].substr(sp + 1)};
  }
  if (!words.empty()) {
    if (have_time || words.size() != 2 || !parse_date_time(words[0], words[1], &t))
      return clock_usage();
    have_time = true;
  }
  if (!have_time) {
    time_t now = time(nullptr);
    gmtime_r(&now, &t);
  }
  int year = t.tm_year + 1900;
  std::vector<uint8_t> p(8);
  p[0] = static_cast<uint8_t>(year >> 8);
  p[1] = static_cast<uint8_t>(year);
  p[2] = static_cast<uint8_t>(t.tm_mon + 1);
  p[3] = static_cast<uint8_t>(t.tm_mday);
  p[4] = static_cast<uint8_t>(t.tm_hour);
  p[5] = static_cast<uint8_t>(t.tm_min);
  p[6] = static_cast<uint8_t>(t.tm_sec);
  p[7] = flag;
  Packet r;
  if (!ctl.command(51, p, &r)) return 1;
  char when[64];
  snprintf(when, sizeof when, "%04d-%02d-%02d %02d:%02d:%02d", year, t.tm_mon + 1, t.tm_mday,
           t.tm_hour, t.tm_min, t.tm_sec);
  std::string flag_json = flag <= 1 ? std::to_string(flag) : "null";
  ctl.result(std::string("clock set to ") + when + (flag <= 1 ? ", clock flag " + flag_json : ""),
             std::string("{\"time\":\"") + when + "\",\"clock_flag\":" + flag_json + "}");
  return 0;
}
PANELCTL_SUBCOMMAND("clock-set", kClockSetUsage, clock_set);

const char* state_name(int v) {
  switch (v) {
    case -1:
      return "not running";
    case 0:
      return "stopping";
    case 1:
      return "running";
    default:
      return "unknown";
  }
}

int standby_stop(Panelctl& ctl, const std::vector<std::string>& args) {
  if (!args.empty()) {
    fprintf(stderr, "usage: panelctl standby-stop\n");
    return 2;
  }
  Packet r;
  if (!ctl.command(52, {}, &r)) return 1;
  int clock = static_cast<int8_t>(r[8]);
  int offline = static_cast<int8_t>(r[9]);
  ctl.result(std::string("clock: ") + state_name(clock) + ", offline: " + state_name(offline),
             "{\"clock_state\":" + std::to_string(clock) +
                 ",\"offline_state\":" + std::to_string(offline) + "}");
  return 0;
}
PANELCTL_SUBCOMMAND("standby-stop",
                    "ask the clock and offline screens to stop; print both run states (52)",
                    standby_stop);

}  // namespace
