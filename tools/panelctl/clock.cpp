// Clock and standby-screen subcommands: clock-set (51), standby-stop (52).
#include <sys/time.h>

#include <cstdio>
#include <ctime>

#include "tools/panelctl/panelctl.h"

namespace {

using hostlink::Packet;

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

struct ClockArgs {
  std::vector<std::string> words;
  bool now = false;
  int flag = -1;
};
ClockArgs clock_args;

// The time to set: the words given ("YYYY-MM-DD HH:MM:SS", one argument or
// two), else this host's clock in UTC.
bool clock_time(const ClockArgs& a, struct tm* t) {
  std::vector<std::string> words;
  for (auto& w : a.words)
    if (!w.empty()) words.push_back(w);
  if (words.size() == 1) {
    size_t sp = words[0].find(' ');
    if (sp == std::string::npos) return false;
    words = {words[0].substr(0, sp), words[0].substr(sp + 1)};
  }
  if (!words.empty()) return !a.now && parse_date_time(words[0], words[1], t);
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  time_t now = tv.tv_sec;
  gmtime_r(&now, t);
  return true;
}

int clock_set(Panelctl& ctl) {
  struct tm t = {};
  if (!clock_time(clock_args, &t))
    return ctl.fail("clock-set: give the time as YYYY-MM-DD HH:MM:SS, or --now", 2);
  // Any flag value above 1 leaves the device's clock flag alone.
  const uint8_t flag = clock_args.flag < 0 ? 0xFF : static_cast<uint8_t>(clock_args.flag);
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
  Json j{{"time", when}, {"clock_flag", nullptr}};
  if (flag <= 1) j["clock_flag"] = flag;
  ctl.result(std::string("clock set to ") + when +
                 (flag <= 1 ? ", clock flag " + std::to_string(flag) : ""),
             j);
  return 0;
}

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

int standby_stop(Panelctl& ctl) {
  Packet r;
  if (!ctl.command(52, {}, &r)) return 1;
  int clock = hostlink::signed_byte(r[8]);
  int offline = hostlink::signed_byte(r[9]);
  ctl.result(std::string("clock: ") + state_name(clock) + ", offline: " + state_name(offline),
             Json{{"clock_state", clock}, {"offline_state", offline}});
  return 0;
}

void setup_clock(CLI::App& app) {
  auto* c = app.add_subcommand("clock-set", "set the device's clock (51)");
  clock_args.words.resize(2);
  c->add_option("DATE", clock_args.words[0], "YYYY-MM-DD (or \"YYYY-MM-DD HH:MM:SS\")");
  c->add_option("TIME", clock_args.words[1], "HH:MM:SS; without DATE and TIME: this host's clock");
  c->add_flag("--now", clock_args.now, "this host's clock, UTC (the default)");
  c->add_option("--flag", clock_args.flag, "clock flag: 1 shows the clock when the host leaves")
      ->option_text("0|1")
      ->check(CLI::Range(0, 1));
  on_run(c, clock_set);

  auto* s = app.add_subcommand(
      "standby-stop", "ask the clock and offline screens to stop; print both run states (52)");
  on_run(s, standby_stop);
}
PANELCTL_SUBCOMMANDS(setup_clock);

}  // namespace
