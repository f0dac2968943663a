// The device's stored pictures, generated for a fresh root: the boot logo,
// the warning picture, the standby background and a few slideshow pictures,
// all at the usable panel size. Each has something easy to recognise on it,
// so a person (or a test) looking at a snapshot can tell which one shows.
#include <turbojpeg.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/panelsim/panelsim.h"

namespace {

constexpr int kWidth = 1080;
constexpr int kHeight = 2288;

struct Rgb {
  uint8_t r, g, b;
};

class Canvas {
 public:
  Canvas(int w, int h) : w_(w), h_(h), px_(size_t(w) * h * 3) {}

  void set(int x, int y, Rgb c) {
    if (x < 0 || y < 0 || x >= w_ || y >= h_) return;
    uint8_t* p = &px_[(size_t(y) * w_ + x) * 3];
    p[0] = c.r;
    p[1] = c.g;
    p[2] = c.b;
  }
  // Top-to-bottom blend from `top` to `bottom`.
  void vertical_gradient(Rgb top, Rgb bottom) {
    for (int y = 0; y < h_; y++) {
      double t = h_ > 1 ? double(y) / (h_ - 1) : 0;
      Rgb c{mix(top.r, bottom.r, t), mix(top.g, bottom.g, t), mix(top.b, bottom.b, t)};
      for (int x = 0; x < w_; x++) set(x, y, c);
    }
  }
  void rect(int x0, int y0, int w, int h, Rgb c) {
    for (int y = y0; y < y0 + h; y++)
      for (int x = x0; x < x0 + w; x++) set(x, y, c);
  }
  // A filled disc, or a ring when inner > 0.
  void ring(int cx, int cy, int outer, int inner, Rgb c) {
    for (int y = cy - outer; y <= cy + outer; y++)
      for (int x = cx - outer; x <= cx + outer; x++) {
        long d2 = long(x - cx) * (x - cx) + long(y - cy) * (y - cy);
        if (d2 <= long(outer) * outer && d2 >= long(inner) * inner) set(x, y, c);
      }
  }
  // A filled triangle pointing up, apex at (cx, top).
  void triangle(int cx, int top, int base_w, int h, Rgb c) {
    for (int y = 0; y < h; y++) {
      int half = base_w * y / (2 * h);
      for (int x = cx - half; x <= cx + half; x++) set(x, top + y, c);
    }
  }
  bool save_jpeg(std::vector<uint8_t>* out) const {
    tjhandle tj = tjInitCompress();
    if (!tj) return false;
    unsigned char* buf = nullptr;
    unsigned long len = 0;
    int r = tjCompress2(tj, px_.data(), w_, w_ * 3, h_, TJPF_RGB, &buf, &len, TJSAMP_420, 90,
                        TJFLAG_ACCURATEDCT);
    if (r == 0) out->assign(buf, buf + len);
    tjFree(buf);
    tjDestroy(tj);
    return r == 0;
  }

 private:
  static uint8_t mix(uint8_t a, uint8_t b, double t) { return uint8_t(lround(a + (b - a) * t)); }
  int w_, h_;
  std::vector<uint8_t> px_;
};

// The boot logo: a white ring on a deep blue to teal gradient, with a band
// of four colours below it.
void draw_logo(Canvas& c) {
  c.vertical_gradient({10, 20, 70}, {0, 120, 130});
  c.ring(kWidth / 2, 900, 330, 250, {245, 245, 245});
  c.ring(kWidth / 2, 900, 120, 0, {0, 190, 255});
  const Rgb band[4] = {{230, 60, 60}, {250, 200, 40}, {60, 200, 90}, {70, 120, 240}};
  for (int i = 0; i < 4; i++) c.rect(140 + i * 200, 1450, 200, 90, band[i]);
}

// The warning picture: a red triangle with a white bar and dot on amber.
void draw_warn(Canvas& c) {
  c.vertical_gradient({250, 190, 30}, {230, 140, 10});
  c.triangle(kWidth / 2, 650, 800, 700, {190, 20, 20});
  c.rect(kWidth / 2 - 35, 900, 70, 260, {255, 255, 255});
  c.ring(kWidth / 2, 1240, 42, 0, {255, 255, 255});
}

// The standby background: dark grey with a dim blue ring where the clock
// sits.
void draw_offline_logo(Canvas& c) {
  c.vertical_gradient({30, 30, 36}, {8, 8, 12});
  c.ring(kWidth / 2, kHeight / 2, 420, 400, {40, 80, 160});
  c.rect(0, kHeight - 120, kWidth, 12, {40, 80, 160});
}

// Slideshow pictures: one dominant colour each, with vertical bands.
void draw_slide(Canvas& c, Rgb base, Rgb bands) {
  c.vertical_gradient(base, Rgb{uint8_t(base.r / 2), uint8_t(base.g / 2), uint8_t(base.b / 2)});
  for (int i = 0; i < 5; i++) c.rect(60 + i * 200, 300, 60, kHeight - 600, bands);
}

void draw_slide_red(Canvas& c) { draw_slide(c, {220, 50, 50}, {255, 230, 230}); }
void draw_slide_green(Canvas& c) { draw_slide(c, {50, 200, 70}, {230, 255, 230}); }
void draw_slide_blue(Canvas& c) { draw_slide(c, {50, 80, 220}, {230, 230, 255}); }

bool write_picture(const std::string& path, void (*draw)(Canvas&)) {
  if (file_exists(path)) return true;
  Canvas c(kWidth, kHeight);
  draw(c);
  std::vector<uint8_t> jpg;
  if (!c.save_jpeg(&jpg)) {
    fprintf(stderr, "panelsim: cannot encode %s\n", path.c_str());
    return false;
  }
  return write_file_if_missing(path, jpg.data(), jpg.size());
}

int pictures(const std::string& root) {
  bool ok = make_dirs(root + "/media") && make_dirs(root + "/usr/data/img") &&
            write_picture(root + "/media/logo.jpg", draw_logo) &&
            write_picture(root + "/media/warn.jpg", draw_warn) &&
            write_picture(root + "/media/offline_logo.jpg", draw_offline_logo) &&
            write_picture(root + "/usr/data/img/slide1.jpg", draw_slide_red) &&
            write_picture(root + "/usr/data/img/slide2.jpg", draw_slide_green) &&
            write_picture(root + "/usr/data/img/slide3.jpg", draw_slide_blue);
  return ok ? 0 : -1;
}
PANELSIM_INIT_STEP(30, "stored pictures", pictures);

}  // namespace
