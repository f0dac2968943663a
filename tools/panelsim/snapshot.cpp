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

#include <CLI/CLI.hpp>
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
#include "tools/panelsim/planes.h"

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

// Lays fb1's shown buffer over an RGB picture of plane 0's size, by alpha.
void blend_overlay(const std::string& root, const SimPlaneState& st, const Geometry& g0,
                   std::vector<uint8_t>* px) {
  const Geometry g1 = plane_geometry(root, &st, 1);
  Mapped fb1(root + sim_fb_files[1]);
  const uint8_t* buf = overlay_buffer(fb1, g1, st.plane[1].shown);
  for (uint32_t y = 0; buf && y < std::min(g0.h, g1.h); y++)
    for (uint32_t x = 0; x < std::min(g0.w, g1.w); x++) {
      const uint8_t* p = buf + size_t(y) * g1.pitch + size_t(x) * 4;
      uint8_t* o = &(*px)[(size_t(y) * g0.w + x) * 3];
      const unsigned a = p[3];
      for (int c = 0; c < 3; c++)
        o[c] = static_cast<uint8_t>((p[2 - c] * a + o[c] * (255 - a) + 127) / 255);
    }
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

// The whole value of an attribute file, null when missing or empty.
Json attribute_json(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return nullptr;
  std::string s;
  char buf[256];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0 && s.size() < 4096) s.append(buf, n);
  fclose(f);
  if (s.empty()) return nullptr;
  return s;
}

}  // namespace

Json panel_state(const std::string& root) {
  SimPlaneState st;
  const bool have = sim_state_read(root, &st) == 0;
  if (!have) memset(&st, 0, sizeof st);
  Json fb0 = nullptr;
  if (st.fb0_picture) {
    const uint32_t* c = st.fb0_cfg;
    fb0 = Json{{"width", c[FbUserCfg::kWidth]},
               {"height", c[FbUserCfg::kHeight]},
               {"x", c[FbUserCfg::kX]},
               {"y", c[FbUserCfg::kY]},
               {"pitch", c[FbUserCfg::kYStride]}};
  }
  auto plane = [&](int i) {
    const SimPlane& p = st.plane[i];
    return Json{{"open", p.open != 0},
                {"enabled", p.enabled != 0},
                {"shown", p.shown},
                {"xres", p.xres},
                {"yres", p.yres}};
  };
  return Json{{"backlight", attribute_json(root + sysfs_dump_dsi_reg)},
              {"rotator_angle", attribute_json(root + sysfs_rotator_angle)},
              {"fb0_enabled", st.plane[0].enabled != 0},
              {"fb1_enabled", st.plane[1].enabled != 0},
              {"fb1_shown", st.plane[1].shown},
              {"fb0", fb0},
              {"planes", {plane(0), plane(1)}},
              {"updates", st.updates}};
}

bool compose_panel(const std::string& root, uint32_t* w, uint32_t* h, std::vector<uint8_t>* rgb) {
  SimPlaneState st;
  if (sim_state_read(root, &st) != 0) return false;
  const Geometry g0 = plane_geometry(root, &st, 0);
  Mapped rmem(root + sim_rmem_file);
  render_video(&st, rmem, g0.w, g0.h, false, rgb);
  if (st.plane[1].enabled) blend_overlay(root, st, g0, rgb);
  *w = g0.w;
  *h = g0.h;
  return true;
}

namespace {

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
  if (layer == "panel" && s && s->plane[1].enabled) blend_overlay(root, *s, g0, &px);
  return write_png(out, g0.w, g0.h, PNG_FORMAT_RGB, px) ? 0 : 1;
}

void setup_snapshot(CLI::App& app) {
  static std::string root, out, layer = "panel";
  static bool state = false;
  auto* s = app.add_subcommand("snapshot", "what the panel shows, as a PNG file or its state");
  s->add_option("ROOT", root, "device root")->required();
  s->add_option("OUT", out, "PNG file to write");
  s->add_option("--layer", layer, "panel, video, video-y, overlay, overlay0 or overlay1")
      ->option_text("L")
      ->check(CLI::IsMember({"panel", "video", "video-y", "overlay", "overlay0", "overlay1"}));
  s->add_flag("--state", state, "print the plane state as one JSON object instead");
  on_run(s, [] {
    if (state) {
      printf("%s\n", panel_state(root).dump().c_str());
      return 0;
    }
    if (out.empty()) {
      fprintf(stderr, "panelsim snapshot: give OUT.png or --state\n");
      return 2;
    }
    return write_snapshot(root, out, layer);
  });
}
PANELSIM_SUBCOMMANDS(setup_snapshot);

}  // namespace
