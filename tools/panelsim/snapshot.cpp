// `panelsim snapshot`: what the simulated panel shows, as a PNG file, or
// the plane state as one JSON object.
//
// Reads the daemon's plane files, reserved memory and plane state under
// ROOT/sim/ (read-only mappings; the daemon may be running). Every size and
// address in them is checked before use: a bad user configuration shows as
// no picture, never as a crash. Errors: a one-line reason on stderr and a
// non-zero exit status.
#include <fcntl.h>
#include <png.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/display.h"
#include "platform/sim/sim_state.h"
#include "tools/panelsim/panelsim.h"

namespace {

// A read-only view of a whole file.
class Mapped {
 public:
  explicit Mapped(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_size > 0) {
      void* m = mmap(nullptr, st.st_size, PROT_READ, MAP_SHARED, fd, 0);
      if (m != MAP_FAILED) {
        data_ = static_cast<const uint8_t*>(m);
        size_ = static_cast<size_t>(st.st_size);
      }
    }
    close(fd);
  }
  ~Mapped() {
    if (data_) munmap(const_cast<uint8_t*>(data_), size_);
  }
  Mapped(const Mapped&) = delete;
  Mapped& operator=(const Mapped&) = delete;
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

struct Geometry {
  uint32_t w = 0, h = 0, pitch = 0, frame = 0;
};

// Geometry of a plane as last opened, else the panel size (after rotation).
Geometry plane_geometry(const std::string& root, const SimPlaneState* st, int plane) {
  Geometry g;
  if (st && st->plane[plane].xres && st->plane[plane].yres) {
    const SimPlane& p = st->plane[plane];
    g.w = p.xres;
    g.h = p.yres;
    g.pitch = p.line_length;
    g.frame = p.frame_size;
    return g;
  }
  sim_panel_size(root + sim_panel_file, &g.w, &g.h);
  FILE* f = fopen((root + sysfs_rotator_angle).c_str(), "r");
  if (f) {
    char buf[8] = {};
    if (fgets(buf, sizeof buf, f) && (strncmp(buf, "90", 2) == 0 || strncmp(buf, "270", 3) == 0))
      std::swap(g.w, g.h);
    fclose(f);
  }
  g.pitch = g.w * 4;
  g.frame = g.pitch * g.h;
  return g;
}

// The ARGB words of one overlay buffer, or none when it is not there.
const uint8_t* overlay_buffer(const Mapped& fb1, const Geometry& g, uint32_t n) {
  if (g.pitch < g.w * 4 || g.frame < uint64_t(g.pitch) * g.h) return nullptr;
  const uint64_t start = uint64_t(n) * g.frame;
  if (!fb1.data() || start + g.frame > fb1.size()) return nullptr;
  return fb1.data() + start;
}

// RGB of fb0's user-configured NV12 picture on a w x h canvas, black
// outside it. False when no valid picture is configured.
bool render_video(const SimPlaneState* st, const Mapped& rmem, uint32_t w, uint32_t h, bool grey,
                  std::vector<uint8_t>* out) {
  const int ch = grey ? 1 : 3;
  out->assign(size_t(w) * h * ch, 0);
  if (!st || !st->fb0_picture) return false;
  const uint32_t* c = st->fb0_cfg;
  const uint64_t pw = c[FbUserCfg::kWidth], ph = c[FbUserCfg::kHeight];
  const uint64_t px = c[FbUserCfg::kX], py = c[FbUserCfg::kY];
  const uint64_t ys = c[FbUserCfg::kYStride], uvs = c[FbUserCfg::kUvStride];
  if (c[FbUserCfg::kFormat] != fb_user_fmt_nv12 || pw == 0 || ph == 0 || ys < pw) return false;
  if (c[FbUserCfg::kYPhys] < sim_rmem_phys_base || c[FbUserCfg::kUvPhys] < sim_rmem_phys_base)
    return false;
  const uint64_t yoff = c[FbUserCfg::kYPhys] - sim_rmem_phys_base;
  const uint64_t uvoff = c[FbUserCfg::kUvPhys] - sim_rmem_phys_base;
  // Bytes of one chroma row that the picture reads (an odd width reads
  // the whole last pair).
  const uint64_t uv_rows = (ph + 1) / 2, uv_need = (pw - 1) / 2 * 2 + 2;
  if (!rmem.data() || yoff + (ph - 1) * ys + pw > rmem.size() ||
      uvoff + (uv_rows - 1) * uvs + uv_need > rmem.size())
    return false;
  const uint8_t* Y = rmem.data() + yoff;
  const uint8_t* UV = rmem.data() + uvoff;
  for (uint64_t row = 0; row < ph && py + row < h; row++) {
    for (uint64_t col = 0; col < pw && px + col < w; col++) {
      const double yv = Y[row * ys + col];
      uint8_t* o = &(*out)[((py + row) * w + px + col) * ch];
      if (grey) {
        o[0] = static_cast<uint8_t>(yv);
        continue;
      }
      const uint64_t uvi = (row / 2) * uvs + (col / 2) * 2;
      const double u = UV[uvi] - 128.0, v = UV[uvi + 1] - 128.0;
      auto clamp = [](double x) {
        return static_cast<uint8_t>(std::lround(std::min(255.0, std::max(0.0, x))));
      };
      o[0] = clamp(yv + 1.402 * v);
      o[1] = clamp(yv - 0.344136 * u - 0.714136 * v);
      o[2] = clamp(yv + 1.772 * u);
    }
  }
  return true;
}

bool write_png(const std::string& path, uint32_t w, uint32_t h, uint32_t format,
               const std::vector<uint8_t>& px) {
  png_image img;
  memset(&img, 0, sizeof img);
  img.version = PNG_IMAGE_VERSION;
  img.width = w;
  img.height = h;
  img.format = format;
  if (!png_image_write_to_file(&img, path.c_str(), 0, px.data(), 0, nullptr)) {
    fprintf(stderr, "panelsim: cannot write %s: %s\n", path.c_str(), img.message);
    return false;
  }
  return true;
}

std::string json_text(const std::string& s) {
  std::string o = "\"";
  for (unsigned char ch : s) {
    if (ch == '"' || ch == '\\') {
      o += '\\';
      o += static_cast<char>(ch);
    } else if (ch < 0x20) {
      char b[8];
      snprintf(b, sizeof b, "\\u%04x", ch);
      o += b;
    } else {
      o += static_cast<char>(ch);
    }
  }
  return o + "\"";
}

// The whole value of an attribute file as JSON, null when missing or empty.
std::string attribute_json(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return "null";
  std::string s;
  char buf[256];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0 && s.size() < 4096) s.append(buf, n);
  fclose(f);
  return s.empty() ? "null" : json_text(s);
}

int print_state(const std::string& root) {
  SimPlaneState st;
  const bool have = sim_state_read(root, &st) == 0;
  if (!have) memset(&st, 0, sizeof st);
  std::string fb0 = "null";
  if (st.fb0_picture) {
    const uint32_t* c = st.fb0_cfg;
    fb0 = "{\"width\":" + std::to_string(c[FbUserCfg::kWidth]) +
          ",\"height\":" + std::to_string(c[FbUserCfg::kHeight]) +
          ",\"x\":" + std::to_string(c[FbUserCfg::kX]) +
          ",\"y\":" + std::to_string(c[FbUserCfg::kY]) +
          ",\"pitch\":" + std::to_string(c[FbUserCfg::kYStride]) + "}";
  }
  auto plane = [&](int i) {
    const SimPlane& p = st.plane[i];
    return "{\"open\":" + std::string(p.open ? "true" : "false") +
           ",\"enabled\":" + (p.enabled ? "true" : "false") +
           ",\"shown\":" + std::to_string(p.shown) + ",\"xres\":" + std::to_string(p.xres) +
           ",\"yres\":" + std::to_string(p.yres) + "}";
  };
  printf(
      "{\"backlight\":%s,\"rotator_angle\":%s,\"fb0_enabled\":%s,\"fb1_enabled\":%s,"
      "\"fb1_shown\":%u,\"fb0\":%s,\"planes\":[%s,%s],\"updates\":%u}\n",
      attribute_json(root + sysfs_dump_dsi_reg).c_str(),
      attribute_json(root + sysfs_rotator_angle).c_str(), st.plane[0].enabled ? "true" : "false",
      st.plane[1].enabled ? "true" : "false", st.plane[1].shown, fb0.c_str(), plane(0).c_str(),
      plane(1).c_str(), st.updates);
  return 0;
}

int write_snapshot(const std::string& root, const std::string& out, const std::string& layer) {
  SimPlaneState st;
  const SimPlaneState* s = sim_state_read(root, &st) == 0 ? &st : nullptr;

  if (layer == "overlay" || layer == "overlay0" || layer == "overlay1") {
    const Geometry g = plane_geometry(root, s, 1);
    const uint32_t n = layer == "overlay0"   ? 0
                       : layer == "overlay1" ? 1
                                             : (s ? s->plane[1].shown : 0);
    Mapped fb1(root + sim_fb_files[1]);
    const uint8_t* buf = overlay_buffer(fb1, g, n);
    std::vector<uint8_t> px(size_t(g.w) * g.h * 4, 0);
    for (uint32_t y = 0; buf && y < g.h; y++)
      for (uint32_t x = 0; x < g.w; x++) {
        const uint8_t* p = buf + size_t(y) * g.pitch + size_t(x) * 4;  // B G R A
        uint8_t* o = &px[(size_t(y) * g.w + x) * 4];
        o[0] = p[2], o[1] = p[1], o[2] = p[0], o[3] = p[3];
      }
    return write_png(out, g.w, g.h, PNG_FORMAT_RGBA, px) ? 0 : 1;
  }

  const Geometry g0 = plane_geometry(root, s, 0);
  Mapped rmem(root + sim_rmem_file);
  std::vector<uint8_t> px;
  if (layer == "video-y") {
    render_video(s, rmem, g0.w, g0.h, true, &px);
    return write_png(out, g0.w, g0.h, PNG_FORMAT_GRAY, px) ? 0 : 1;
  }
  render_video(s, rmem, g0.w, g0.h, false, &px);
  if (layer == "panel" && s && s->plane[1].enabled) {
    const Geometry g1 = plane_geometry(root, s, 1);
    Mapped fb1(root + sim_fb_files[1]);
    const uint8_t* buf = overlay_buffer(fb1, g1, s->plane[1].shown);
    for (uint32_t y = 0; buf && y < std::min(g0.h, g1.h); y++)
      for (uint32_t x = 0; x < std::min(g0.w, g1.w); x++) {
        const uint8_t* p = buf + size_t(y) * g1.pitch + size_t(x) * 4;
        uint8_t* o = &px[(size_t(y) * g0.w + x) * 3];
        const unsigned a = p[3];
        for (int c = 0; c < 3; c++)
          o[c] = static_cast<uint8_t>((p[2 - c] * a + o[c] * (255 - a) + 127) / 255);
      }
  }
  return write_png(out, g0.w, g0.h, PNG_FORMAT_RGB, px) ? 0 : 1;
}

int snapshot(const std::vector<std::string>& args) {
  const char* use =
      "usage: panelsim snapshot ROOT OUT.png [--layer L] | panelsim snapshot ROOT --state\n";
  if (args.size() == 2 && args[1] == "--state") return print_state(args[0]);
  std::string layer = "panel";
  if (args.size() == 4 && args[2] == "--layer") {
    layer = args[3];
  } else if (args.size() != 2) {
    fputs(use, stderr);
    return 2;
  }
  static const char* const kLayers[] = {"panel",   "video",    "video-y",
                                        "overlay", "overlay0", "overlay1"};
  if (std::find(std::begin(kLayers), std::end(kLayers), layer) == std::end(kLayers)) {
    fprintf(stderr,
            "panelsim: unknown layer %s (panel, video, video-y, overlay, overlay0, overlay1)\n",
            layer.c_str());
    return 2;
  }
  return write_snapshot(args[0], args[1], layer);
}
PANELSIM_SUBCOMMAND("snapshot", "ROOT OUT.png [--layer L] | ROOT --state: what the panel shows",
                    snapshot);

}  // namespace
