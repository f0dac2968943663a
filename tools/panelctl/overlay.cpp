// panelctl subcommands of the overlay plane: PNG frames of both streams,
// clearing, the overlay windows and the plane switch.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/panelctl/panelctl.h"

namespace {

// Slot sizes of the daemon's two PNG streams: longer frames are refused.
constexpr size_t kSmallSlot = 131072;
constexpr size_t kFullSlot = 1048576;

int send_png(Panelctl& ctl, const std::string& file, unsigned long x, unsigned long y, bool small) {
  std::vector<uint8_t> data;
  if (!read_file(file, &data)) {
    fprintf(stderr, "panelctl: cannot read %s\n", file.c_str());
    return 1;
  }
  const size_t cap = small ? kSmallSlot : kFullSlot;
  if (data.size() > cap) {
    fprintf(stderr, "panelctl: %s is %zu bytes, more than a %s frame may hold (%zu)\n",
            file.c_str(), data.size(), small ? "small" : "full-screen", cap);
    return 1;
  }
  std::vector<uint8_t> params(9, 0);
  hostlink::put_be32(params, 0, uint32_t(data.size()));
  hostlink::put_be16(params, 4, uint16_t(x));
  hostlink::put_be16(params, 6, uint16_t(y));
  params[8] = small ? 1 : 0;
  hostlink::Packet reply;
  if (!ctl.command(102, params, &reply, data.data(), data.size())) return 1;
  const int queued = reply[8];
  ctl.result(
      "sent " + std::to_string(data.size()) + " bytes, " + std::to_string(queued) +
          " frame(s) waiting",
      "{\"sent\":" + std::to_string(data.size()) + ",\"queue\":" + std::to_string(queued) + "}");
  return 0;
}

int png(Panelctl& ctl, const std::vector<std::string>& args) {
  unsigned long x = 0, y = 0;
  if (args.size() != 3 || !parse_uint(args[1], &x) || !parse_uint(args[2], &y) || x > 65535 ||
      y > 65535) {
    fprintf(stderr, "usage: panelctl png FILE X Y   (X, Y 0..65535)\n");
    return 2;
  }
  return send_png(ctl, args[0], x, y, true);
}
PANELCTL_SUBCOMMAND("png", "FILE X Y: draw a PNG on the overlay at column X, row Y (102)", png);

int png_full(Panelctl& ctl, const std::vector<std::string>& args) {
  if (args.size() != 1) {
    fprintf(stderr, "usage: panelctl png-full FILE\n");
    return 2;
  }
  return send_png(ctl, args[0], 0, 0, false);
}
PANELCTL_SUBCOMMAND("png-full", "FILE: show a full-screen PNG on the overlay (102)", png_full);

int overlay_clear(Panelctl& ctl, const std::vector<std::string>& args) {
  if (!args.empty()) {
    fprintf(stderr, "usage: panelctl overlay-clear\n");
    return 2;
  }
  hostlink::Packet reply;
  if (!ctl.command(103, {}, &reply)) return 1;
  ctl.result("overlay cleared", "{\"ok\":true}");
  return 0;
}
PANELCTL_SUBCOMMAND("overlay-clear", "make the overlay transparent (103)", overlay_clear);

bool parse_int32(const std::string& s, int32_t* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  long long v = strtoll(s.c_str(), &end, 10);
  if (*end != '\0' || v < INT32_MIN || v > INT32_MAX) return false;
  *out = static_cast<int32_t>(v);
  return true;
}

int windows(Panelctl& ctl, const std::vector<std::string>& args) {
  int32_t v[8];
  bool ok = args.size() == 8;
  for (size_t i = 0; ok && i < 8; i++) ok = parse_int32(args[i], &v[i]);
  if (!ok) {
    fprintf(stderr, "usage: panelctl windows H0 S0 H1 S1 H2 S2 H3 S3\n");
    return 2;
  }
  // The protocol places H3 at bytes 31..34, so its high byte is the low
  // byte of S2: both cannot differ there.
  if ((uint32_t(v[6]) >> 24) != (uint32_t(v[5]) & 0xff)) {
    fprintf(stderr,
            "panelctl: H3's high byte (%u) must equal S2's low byte (%u): they share byte 31\n",
            uint32_t(v[6]) >> 24, uint32_t(v[5]) & 0xff);
    return 2;
  }
  std::vector<uint8_t> params;
  for (int i = 0; i < 6; i++) hostlink::put_be32(params, size_t(i) * 4, uint32_t(v[i]));
  hostlink::put_be32(params, 23, uint32_t(v[6]));  // byte 31 of the command
  hostlink::put_be32(params, 27, uint32_t(v[7]));  // byte 35
  hostlink::Packet reply;
  if (!ctl.command(104, params, &reply)) return 1;
  std::string text = "windows set:";
  std::string json = "{\"windows\":[";
  for (int k = 0; k < 4; k++) {
    text += " " + std::to_string(v[2 * k]) + ".." + std::to_string(v[2 * k + 1]);
    json += std::string(k ? "," : "") + "[" + std::to_string(v[2 * k]) + "," +
            std::to_string(v[2 * k + 1]) + "]";
  }
  ctl.result(text, json + "]}");
  return 0;
}
PANELCTL_SUBCOMMAND("windows",
                    "H0 S0 H1 S1 H2 S2 H3 S3: hide the overlay for video frames strictly "
                    "between Hk and Sk (104)",
                    windows);

int overlay(Panelctl& ctl, const std::vector<std::string>& args) {
  if (args.size() != 1 || (args[0] != "on" && args[0] != "off")) {
    fprintf(stderr, "usage: panelctl overlay on|off\n");
    return 2;
  }
  const bool on = args[0] == "on";
  hostlink::Packet reply;
  if (!ctl.command(105, {uint8_t(on ? 1 : 0)}, &reply)) return 1;
  ctl.result(on ? "overlay plane on" : "overlay plane off",
             std::string("{\"overlay\":") + (on ? "true" : "false") + "}");
  return 0;
}
PANELCTL_SUBCOMMAND("overlay", "on|off: show or hide the overlay plane (105)", overlay);

}  // namespace
