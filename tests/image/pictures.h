// Test pictures for the JPEG path: RGB canvases encoded with TurboJPEG, and
// the full-range YCbCr equations of JPEG files to predict decoded values.
#pragma once

#include <turbojpeg.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace testpic {

struct Rgb {
  int r, g, b;
};

struct Yuv {
  int y, u, v;
};

// Full-range BT.601, as JPEG files store colour.
inline Yuv to_yuv(Rgb c) {
  double y = 0.299 * c.r + 0.587 * c.g + 0.114 * c.b;
  double u = 128 - 0.168736 * c.r - 0.331264 * c.g + 0.5 * c.b;
  double v = 128 + 0.5 * c.r - 0.418688 * c.g - 0.081312 * c.b;
  return {int(lround(y)), int(lround(u)), int(lround(v))};
}

struct Canvas {
  int w = 0, h = 0;
  std::vector<uint8_t> px;  // RGB
  Canvas(int width, int height) : w(width), h(height), px(size_t(width) * height * 3) {}
  void fill(int x0, int y0, int x1, int y1, Rgb c) {
    for (int y = y0; y < y1; y++)
      for (int x = x0; x < x1; x++) {
        uint8_t* p = &px[(size_t(y) * w + x) * 3];
        p[0] = uint8_t(c.r);
        p[1] = uint8_t(c.g);
        p[2] = uint8_t(c.b);
      }
  }
};

// The four quadrant colours of quadrants(): top left, top right, bottom
// left, bottom right. Flips, transpositions and stride errors all show.
constexpr Rgb kQuad[4] = {{200, 40, 40}, {40, 180, 60}, {40, 60, 200}, {230, 220, 60}};

inline Canvas quadrants(int w, int h) {
  Canvas c(w, h);
  c.fill(0, 0, w / 2, h / 2, kQuad[0]);
  c.fill(w / 2, 0, w, h / 2, kQuad[1]);
  c.fill(0, h / 2, w / 2, h, kQuad[2]);
  c.fill(w / 2, h / 2, w, h, kQuad[3]);
  return c;
}

inline Canvas flat(int w, int h, Rgb colour) {
  Canvas c(w, h);
  c.fill(0, 0, w, h, colour);
  return c;
}

// A smooth picture with some structure: diagonal gradients and a disc.
inline Canvas scene(int w, int h, int seed = 0) {
  Canvas c(w, h);
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      uint8_t* p = &c.px[(size_t(y) * w + x) * 3];
      double fx = double(x) / w, fy = double(y) / h;
      p[0] = uint8_t(30 + 200 * fx);
      p[1] = uint8_t(30 + 180 * fy);
      p[2] = uint8_t(40 + 150 * (1 - fx) * (seed % 2 ? fy : 1 - fy));
      double dx = fx - 0.5, dy = (fy - 0.4) * h / w;
      if (dx * dx + dy * dy < 0.06) {
        p[0] = uint8_t(240 - 60 * fy);
        p[1] = 230;
        p[2] = uint8_t(200 + 40 * fx);
      }
    }
  return c;
}

inline std::vector<uint8_t> encode(const Canvas& c, int subsamp = TJSAMP_420, int quality = 92) {
  std::vector<uint8_t> out;
  tjhandle tj = tjInitCompress();
  if (!tj) return out;
  unsigned char* buf = nullptr;
  unsigned long len = 0;
  if (subsamp == TJSAMP_GRAY) {
    // Grey JPEGs are made from luma only.
    std::vector<uint8_t> grey(size_t(c.w) * c.h);
    for (size_t i = 0; i < grey.size(); i++)
      grey[i] = uint8_t(to_yuv({c.px[i * 3], c.px[i * 3 + 1], c.px[i * 3 + 2]}).y);
    if (tjCompress2(tj, grey.data(), c.w, c.w, c.h, TJPF_GRAY, &buf, &len, TJSAMP_GRAY, quality,
                    TJFLAG_ACCURATEDCT) == 0)
      out.assign(buf, buf + len);
  } else if (tjCompress2(tj, c.px.data(), c.w, c.w * 3, c.h, TJPF_RGB, &buf, &len, subsamp, quality,
                         TJFLAG_ACCURATEDCT) == 0) {
    out.assign(buf, buf + len);
  }
  tjFree(buf);
  tjDestroy(tj);
  return out;
}

inline bool write(const std::string& path, const std::vector<uint8_t>& data) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
  return fclose(f) == 0 && ok;
}

}  // namespace testpic
