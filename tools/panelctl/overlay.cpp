// panelctl subcommands of the overlay plane: PNG frames of both streams,
// clearing, the overlay windows and the plane switch.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/panelctl/check.h"
#include "tools/panelctl/stream.h"

namespace {

// Slot sizes of the daemon's two PNG streams: longer frames are refused.
constexpr size_t kSmallSlot = 131072;
constexpr size_t kFullSlot = 1048576;

// Sends one frame; *queued: the stream's queue length from the reply.
bool post_png(Panelctl& ctl, const std::vector<uint8_t>& data, unsigned x, unsigned y, bool small,
              int* queued) {
  std::vector<uint8_t> params(9, 0);
  hostlink::put_be32(params, 0, uint32_t(data.size()));
  hostlink::put_be16(params, 4, uint16_t(x));
  hostlink::put_be16(params, 6, uint16_t(y));
  params[8] = small ? 1 : 0;
  hostlink::Packet reply;
  if (!ctl.command(102, params, &reply, data.data(), data.size())) return false;
  *queued = reply[8];
  return true;
}

std::string too_long(const std::string& what, size_t len, bool small) {
  const size_t cap = small ? kSmallSlot : kFullSlot;
  if (len <= cap) return "";
  return what + " is " + std::to_string(len) + " bytes, more than a " +
         (small ? "small" : "full-screen") + " frame may hold (" + std::to_string(cap) + ")";
}

// Small frames waiting on the device (122 byte 11); -1 on failure.
int small_queue(Panelctl& ctl) {
  hostlink::Packet r;
  return ctl.command(122, {}, &r) ? r[11] : -1;
}

// Polls the small queue every 20 ms until `done` holds or `secs` pass;
// the last length seen, -1 on failure.
template <typename Done>
int wait_small_queue(Panelctl& ctl, double secs, Done done) {
  int q = small_queue(ctl);
  for (double until = now_s() + secs; q >= 0 && !done(q) && now_s() < until;) {
    usleep(20000);
    q = small_queue(ctl);
  }
  return q;
}

}  // namespace

int send_png_data(Panelctl& ctl, const std::vector<uint8_t>& data, const std::string& what,
                  unsigned x, unsigned y, bool small) {
  const std::string why = too_long(what, data.size(), small);
  if (!why.empty()) return ctl.fail(why);
  int queued = 0;
  if (!post_png(ctl, data, x, y, small, &queued)) return 1;
  ctl.result("sent " + std::to_string(data.size()) + " bytes, " + std::to_string(queued) +
                 " frame(s) waiting",
             Json{{"sent", data.size()}, {"queue", queued}});
  return 0;
}

namespace {

// The small stream has six slots and draws up to ten frames a second; the
// full-screen stream cannot be asked about its queue.
constexpr int kSmallSlots = 6;

int send_png(Panelctl& ctl, const std::string& file, unsigned x, unsigned y, bool small) {
  std::vector<uint8_t> data;
  std::string why;
  if (!read_file(file, &data, &why)) return ctl.fail(why);
  why = too_long(file, data.size(), small);
  if (!why.empty()) return ctl.fail(why);
  std::string doubt;
  if (!check::png(file, data, &doubt)) {
    if (!ctl.force) return ctl.fail(doubt);
    ctl.note("panelctl: warning: " + doubt);
  }
  if (int st = panel_ready(ctl, file, false)) return st;
  // A frame that finds every slot taken is dropped, with no word of it.
  if (small && wait_small_queue(ctl, 5, [](int q) { return q < kSmallSlots; }) < 0) return 1;
  int queued = 0;
  if (!post_png(ctl, data, x, y, small, &queued)) return 1;
  if (!doubt.empty()) return ctl.fail(file + " sent but not shown: the device cannot decode it");
  const std::string sent = "sent " + std::to_string(data.size()) + " bytes";
  if (!small) {
    ctl.result(sent + ", " + std::to_string(queued) +
                   " full-screen frame(s) waiting (the device draws about one a second)",
               Json{{"sent", data.size()}, {"queue", queued}});
    return 0;
  }
  const int left = wait_small_queue(ctl, 5, [](int q) { return q == 0; });
  if (left < 0) return 1;
  if (left > 0)
    return ctl.fail(file + " sent, but " + std::to_string(left) +
                    " small frame(s) still wait on the device after 5 s");
  ctl.result(sent + ", drawn at " + std::to_string(x) + "," + std::to_string(y),
             Json{{"sent", data.size()}, {"queue", queued}, {"shown", true}});
  return 0;
}

// The protocol places H3 at bytes 31..34, so its high byte is the low byte
// of S2: both cannot differ there.
int windows(Panelctl& ctl, const std::vector<int32_t>& v) {
  if ((uint32_t(v[6]) >> 24) != (uint32_t(v[5]) & 0xff))
    return ctl.fail("windows: H3's high byte (" + std::to_string(uint32_t(v[6]) >> 24) +
                        ") must equal S2's low byte (" + std::to_string(uint32_t(v[5]) & 0xff) +
                        "): they share byte 31",
                    2);
  std::vector<uint8_t> params;
  for (int i = 0; i < 6; i++) hostlink::put_be32(params, size_t(i) * 4, uint32_t(v[i]));
  hostlink::put_be32(params, 23, uint32_t(v[6]));  // byte 31 of the command
  hostlink::put_be32(params, 27, uint32_t(v[7]));  // byte 35
  hostlink::Packet reply;
  if (!ctl.command(104, params, &reply)) return 1;
  std::string text = "windows set:";
  Json list = Json::array();
  for (int k = 0; k < 4; k++) {
    text += " " + std::to_string(v[2 * k]) + ".." + std::to_string(v[2 * k + 1]);
    list.push_back({v[2 * k], v[2 * k + 1]});
  }
  ctl.result(text, Json{{"windows", list}});
  return 0;
}

struct OverlayArgs {
  std::string file;
  unsigned x = 0, y = 0;
  std::vector<int32_t> windows;
  std::string on_off;
};
OverlayArgs overlay_args;

void setup_overlay(CLI::App& app) {
  auto* p = app.add_subcommand("png", "draw a PNG on the overlay at column X, row Y (102)");
  p->add_option("FILE", overlay_args.file, "PNG file, at most 128 KiB")->required();
  p->add_option("X", overlay_args.x, "column 0..65535")->required()->check(CLI::Range(0u, 65535u));
  p->add_option("Y", overlay_args.y, "row 0..65535")->required()->check(CLI::Range(0u, 65535u));
  on_run(p, [](Panelctl& ctl) {
    return send_png(ctl, overlay_args.file, overlay_args.x, overlay_args.y, true);
  });

  auto* f = app.add_subcommand("png-full", "show a full-screen PNG on the overlay (102)");
  f->add_option("FILE", overlay_args.file, "PNG file, at most 1 MiB")->required();
  on_run(f, [](Panelctl& ctl) { return send_png(ctl, overlay_args.file, 0, 0, false); });

  auto* c = app.add_subcommand("overlay-clear", "make the overlay transparent (103)");
  on_run(c, [](Panelctl& ctl) {
    hostlink::Packet reply;
    if (!ctl.command(103, {}, &reply)) return 1;
    ctl.result("overlay cleared", Json{{"ok", true}});
    return 0;
  });

  auto* w = app.add_subcommand(
      "windows", "hide the overlay for video frames strictly between Hk and Sk (104)");
  overlay_args.windows.resize(8);
  static const char* const kNames[8] = {"H0", "S0", "H1", "S1", "H2", "S2", "H3", "S3"};
  for (int i = 0; i < 8; i++)
    w->add_option(kNames[i], overlay_args.windows[size_t(i)],
                  i % 2 ? "frame number that ends the window" : "frame number that starts it")
        ->required();
  on_run(w, [](Panelctl& ctl) { return windows(ctl, overlay_args.windows); });

  auto* o = app.add_subcommand("overlay", "show or hide the overlay plane (105)");
  o->add_option("STATE", overlay_args.on_off, "on or off")
      ->required()
      ->check(CLI::IsMember({"on", "off"}));
  on_run(o, [](Panelctl& ctl) {
    const bool on = overlay_args.on_off == "on";
    hostlink::Packet reply;
    if (!ctl.command(105, {uint8_t(on ? 1 : 0)}, &reply)) return 1;
    ctl.result(on ? "overlay plane on" : "overlay plane off", Json{{"overlay", on}});
    return 0;
  });
}
PANELCTL_SUBCOMMANDS(setup_overlay);

}  // namespace
