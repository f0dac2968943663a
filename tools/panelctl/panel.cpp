// Who owns the panel: the check before media goes out, and `takeover`,
// which stops the device's own screens and local playback.
//
// The device drops host pictures while a standby screen runs and paints
// local video over JPEG frames, yet answers every command with status 200;
// only 52 (standby states) and 112 (local video) tell.
#include <unistd.h>

#include "tools/hostlink/panelhost.h"
#include "tools/panelctl/stream.h"

namespace {

using hostlink::Packet;

constexpr uint8_t kNotRunning = 0xFF;  // standby state byte of 52

bool probe(Panelctl& ctl, PanelOwners* o, bool wait_clock) {
  Packet r;
  if (!ctl.command(52, {}, &r)) return false;
  // The clock goes at any packet, within about 0.3 s.
  for (double until = now_s() + 2;
       wait_clock && r[8] != kNotRunning && r[9] == kNotRunning && now_s() < until;) {
    usleep(50000);
    if (!ctl.command(52, {}, &r)) return false;
  }
  o->clock = r[8] != kNotRunning;
  o->offline = r[9] != kNotRunning;
  if (!ctl.command(112, {}, &r)) return false;
  o->local_video = r[8] != 0;
  return true;
}

struct TakeoverArgs {
  int wait_ms = 10000;
};
TakeoverArgs takeover_args;

int takeover(Panelctl& ctl) {
  PanelOwners before;
  if (!probe(ctl, &before, false)) return 1;
  panelhost* h = panelhost_open_fd(ctl.link.fd());
  if (!h) return ctl.fail("takeover: out of memory");
  panelhost_set_timeout(h, ctl.timeout_ms);
  const int rc = panelhost_take_over(h, takeover_args.wait_ms);
  const std::string err = rc ? panelhost_error(h) : "";
  panelhost_close(h);
  if (rc != 0) return ctl.fail("takeover: " + err);
  Json stopped = Json::array();
  std::string list;
  for (auto [running, name] : {std::pair<bool, const char*>{before.offline, "offline screen"},
                               {before.clock, "clock screen"},
                               {before.local_video, "local video"}}) {
    if (!running) continue;
    stopped.push_back(name);
    list += (list.empty() ? "" : ", ") + std::string(name);
  }
  ctl.result(std::string("the panel is the host's") +
                 (list.empty() ? " (no standby screen or local video was running)"
                               : " (stopped: " + list + ")"),
             Json{{"taken_over", true}, {"stopped", stopped}});
  return 0;
}

void setup_panel(CLI::App& app) {
  auto* t = app.add_subcommand(
      "takeover",
      "stop the standby screens and local playback; wait until the panel is the host's (52, "
      "111, 114)");
  add_ranged(t, "--wait", takeover_args.wait_ms, "give up after MS milliseconds, 1000..600000",
             1000, 600000)
      ->option_text("MS");
  on_run(t, takeover);
}
PANELCTL_SUBCOMMANDS(setup_panel);

}  // namespace

bool probe_owners(Panelctl& ctl, PanelOwners* owners) { return probe(ctl, owners, true); }

int panel_ready(Panelctl& ctl, const std::string& what, bool painted_over) {
  PanelOwners o;
  if (!probe_owners(ctl, &o)) return 1;
  std::string reason;
  if (o.standby())
    reason = std::string("the device's ") + (o.offline ? "offline screen" : "clock screen") +
             " has the panel and drops host media";
  else if (painted_over && o.local_video)
    reason = "local video plays on the device and paints over host pictures";
  if (reason.empty()) return 0;
  if (ctl.force) {
    ctl.note("panelctl: warning: " + reason + "; `panelctl takeover` gives the panel to the host");
    return 0;
  }
  return ctl.fail(what + " not sent: " + reason + "; run `panelctl takeover` first");
}
