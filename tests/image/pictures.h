// Test pictures for the JPEG path, encoded with TurboJPEG.
#pragma once

#include <turbojpeg.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testpic {

struct Canvas {
  int w, h;
  std::vector<uint8_t> px;  // RGB
  Canvas(int width, int height) : w(width), h(height), px(size_t(width) * height * 3) {}
};

inline Canvas flat(int w, int h, int grey) {
  Canvas c(w, h);
  c.px.assign(c.px.size(), uint8_t(grey));
  return c;
}

// Diagonal gradients and a disc: flips, stride and chroma errors all show.
inline Canvas scene(int w, int h, int seed = 0) {
  Canvas c(w, h);
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      uint8_t* p = &c.px[(size_t(y) * w + x) * 3];
      double fx = double(x) / w, fy = double(y) / h;
      double dx = fx - 0.5, dy = (fy - 0.4) * h / w;
      bool disc = dx * dx + dy * dy < 0.06;
      p[0] = uint8_t(disc ? 240 - 60 * fy : 30 + 200 * fx);
      p[1] = uint8_t(disc ? 230 : 30 + 180 * fy);
      p[2] = uint8_t(disc ? 200 + 40 * fx : 40 + 150 * (1 - fx) * (seed % 2 ? fy : 1 - fy));
    }
  return c;
}

inline std::vector<uint8_t> encode(const Canvas& c, int subsamp = TJSAMP_420) {
  std::vector<uint8_t> out;
  tjhandle tj = tjInitCompress();
  unsigned char* buf = nullptr;
  unsigned long len = 0;
  if (tj && tjCompress2(tj, c.px.data(), c.w, c.w * 3, c.h, TJPF_RGB, &buf, &len, subsamp, 90,
                        TJFLAG_ACCURATEDCT) == 0)
    out.assign(buf, buf + len);
  tjFree(buf);
  if (tj) tjDestroy(tj);
  return out;
}

inline std::string bytes(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

}  // namespace testpic
