// Test pictures for the PNG overlay: every PNG kind written with libpng's
// writer from known sample arrays, and the ARGB pixels each one must give.
#pragma once

#include <png.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace pngtest {

struct Bgra {
  uint8_t b, g, r, a;
  bool operator==(const Bgra& o) const { return b == o.b && g == o.g && r == o.r && a == o.a; }
};

inline std::string to_string(const Bgra& p) {
  char s[32];
  snprintf(s, sizeof s, "argb %02x%02x%02x%02x", p.a, p.r, p.g, p.b);
  return s;
}

// One picture kind.
struct Kind {
  const char* name;
  int color_type;  // PNG_COLOR_TYPE_*
  int depth;       // bits per sample
  bool trns;       // with a tRNS chunk
  bool interlaced;
};

// A picture and the ARGB value every pixel must decode to.
struct Picture {
  int width = 0, height = 0;
  std::vector<uint8_t> png;
  std::vector<Bgra> expect;  // width * height
  Bgra at(int x, int y) const { return expect[size_t(y) * width + x]; }
};

namespace detail {

inline void write_cb(png_structp png, png_bytep data, size_t n) {
  auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + n);
}
inline void flush_cb(png_structp) {}

// Samples of a pattern that changes with x and y, so that misplaced rows,
// columns and passes show.
inline unsigned sample(int x, int y, int channel, unsigned max) {
  return (unsigned(x) * 37u + unsigned(y) * 91u + unsigned(channel) * 53u + 11u) % (max + 1);
}

inline void put_sample(std::vector<uint8_t>& row, int index, int depth, unsigned v) {
  if (depth == 16) {
    row[size_t(index) * 2] = uint8_t(v >> 8);
    row[size_t(index) * 2 + 1] = uint8_t(v);
  } else if (depth == 8) {
    row[size_t(index)] = uint8_t(v);
  } else {
    const int per_byte = 8 / depth;
    const int shift = 8 - depth * (index % per_byte + 1);
    row[size_t(index / per_byte)] |= uint8_t(v << shift);
  }
}

struct Header {
  int width, height, depth, color_type;
  bool interlaced;
  const png_color* palette;
  int palette_n;
  const uint8_t* trans_alpha;  // palette tRNS, or null
  int trans_n;
  const png_color_16* trans_colour;  // grey or RGB tRNS, or null
};

// libpng's writer; false when it failed.
inline bool write_png(const Header& h, png_bytep* rows, std::vector<uint8_t>* out) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_set_write_fn(png, out, write_cb, flush_cb);
  png_set_IHDR(png, info, png_uint_32(h.width), png_uint_32(h.height), h.depth, h.color_type,
               h.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (h.palette) png_set_PLTE(png, info, h.palette, h.palette_n);
  if (h.trans_alpha) png_set_tRNS(png, info, h.trans_alpha, h.trans_n, nullptr);
  if (h.trans_colour) png_set_tRNS(png, info, nullptr, 0, h.trans_colour);
  png_write_info(png, info);
  png_write_image(png, rows);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace detail

// Writes a width x height picture of the given kind. 16-bit samples are
// v * 257, so that every reduction to 8 bits gives v exactly.
inline Picture make_picture(const Kind& k, int width, int height) {
  using detail::sample;
  Picture pic;
  pic.width = width;
  pic.height = height;
  pic.expect.resize(size_t(width) * height);
  const unsigned max =
      k.color_type == PNG_COLOR_TYPE_PALETTE || k.depth < 8 ? (1u << k.depth) - 1 : 255u;
  const int channels = k.color_type == PNG_COLOR_TYPE_RGB_ALPHA    ? 4
                       : k.color_type == PNG_COLOR_TYPE_RGB        ? 3
                       : k.color_type == PNG_COLOR_TYPE_GRAY_ALPHA ? 2
                                                                   : 1;
  // Palette: distinct colours; with tRNS some entries are (semi)transparent
  // and the tRNS list is shorter than the palette (the rest stay opaque).
  const int palette_n = k.color_type == PNG_COLOR_TYPE_PALETTE ? int(max) + 1 : 0;
  std::vector<png_color> palette(static_cast<size_t>(palette_n));
  for (int i = 0; i < palette_n; i++)
    palette[size_t(i)] = {uint8_t(i * 71 + 5), uint8_t(i * 29 + 100), uint8_t(255 - i * 13)};
  std::vector<uint8_t> trans_alpha;
  if (palette_n) {
    for (int i = 0; i < palette_n - 1 && i < 5; i++) trans_alpha.push_back(uint8_t(i * 60));
  }
  // Grey or RGB with tRNS: one colour (the value at (0, 0)) is transparent.
  png_color_16 trans_colour{};
  const unsigned key0 = sample(0, 0, 0, max), key1 = sample(0, 0, 1, max),
                 key2 = sample(0, 0, 2, max);
  const unsigned scale = k.depth == 16 ? 257u : 1u;
  trans_colour.gray = png_uint_16(key0 * scale);
  trans_colour.red = png_uint_16(key0 * scale);
  trans_colour.green = png_uint_16(key1 * scale);
  trans_colour.blue = png_uint_16(key2 * scale);

  std::vector<std::vector<uint8_t>> rows(static_cast<size_t>(height));
  const size_t rowbytes = (size_t(width) * channels * k.depth + 7) / 8;
  for (int y = 0; y < height; y++) {
    rows[size_t(y)].assign(rowbytes, 0);
    for (int x = 0; x < width; x++) {
      unsigned s[4];
      for (int c = 0; c < channels; c++) s[c] = sample(x, y, c, max);
      for (int c = 0; c < channels; c++)
        detail::put_sample(rows[size_t(y)], x * channels + c, k.depth, s[c] * scale);
      Bgra& e = pic.expect[size_t(y) * width + x];
      // Low bit depths of grey scale up by bit replication (0..max to 0..255).
      auto grey8 = [&](unsigned v) { return uint8_t(v * 255u / max); };
      switch (k.color_type) {
        case PNG_COLOR_TYPE_PALETTE: {
          const png_color& p = palette[s[0]];
          e = {p.blue, p.green, p.red,
               s[0] < trans_alpha.size() && k.trns ? trans_alpha[s[0]] : uint8_t(255)};
          break;
        }
        case PNG_COLOR_TYPE_GRAY: {
          const uint8_t g = k.depth < 8 ? grey8(s[0]) : uint8_t(s[0]);
          e = {g, g, g, uint8_t(k.trns && s[0] == key0 ? 0 : 255)};
          break;
        }
        case PNG_COLOR_TYPE_GRAY_ALPHA:
          e = {uint8_t(s[0]), uint8_t(s[0]), uint8_t(s[0]), uint8_t(s[1])};
          break;
        case PNG_COLOR_TYPE_RGB:
          e = {uint8_t(s[2]), uint8_t(s[1]), uint8_t(s[0]),
               uint8_t(k.trns && s[0] == key0 && s[1] == key1 && s[2] == key2 ? 0 : 255)};
          break;
        default:
          e = {uint8_t(s[2]), uint8_t(s[1]), uint8_t(s[0]), uint8_t(s[3])};
      }
    }
  }

  std::vector<png_bytep> ptrs;
  for (auto& r : rows) ptrs.push_back(r.data());
  detail::Header hdr{width,
                     height,
                     k.depth,
                     k.color_type,
                     k.interlaced,
                     palette_n ? palette.data() : nullptr,
                     palette_n,
                     k.trns ? (palette_n ? trans_alpha.data() : nullptr) : nullptr,
                     int(trans_alpha.size()),
                     k.trns && !palette_n ? &trans_colour : nullptr};
  if (!detail::write_png(hdr, ptrs.data(), &pic.png)) pic.png.clear();
  return pic;
}

// An 8-bit RGBA picture from explicit pixels (R, G, B, A per pixel).
inline std::vector<uint8_t> encode_rgba(int width, int height, const std::vector<uint8_t>& rgba) {
  std::vector<uint8_t> out;
  std::vector<png_bytep> rows;
  for (int y = 0; y < height; y++)
    rows.push_back(const_cast<png_bytep>(&rgba[size_t(y) * width * 4]));
  detail::Header hdr{width,   height, 8,      PNG_COLOR_TYPE_RGB_ALPHA, false, nullptr, 0,
                     nullptr, 0,      nullptr};
  if (!detail::write_png(hdr, rows.data(), &out)) out.clear();
  return out;
}

// A width x height picture of one RGBA colour.
inline std::vector<uint8_t> solid_rgba(int width, int height, uint8_t r, uint8_t g, uint8_t b,
                                       uint8_t a) {
  std::vector<uint8_t> px(size_t(width) * height * 4);
  for (size_t i = 0; i < px.size(); i += 4) {
    px[i] = r;
    px[i + 1] = g;
    px[i + 2] = b;
    px[i + 3] = a;
  }
  return encode_rgba(width, height, px);
}

// Every kind a host may send, plain and interlaced.
inline const std::vector<Kind>& all_kinds() {
  static const std::vector<Kind> base = {
      {"rgba8", PNG_COLOR_TYPE_RGB_ALPHA, 8, false, false},
      {"rgba16", PNG_COLOR_TYPE_RGB_ALPHA, 16, false, false},
      {"rgb8", PNG_COLOR_TYPE_RGB, 8, false, false},
      {"rgb16", PNG_COLOR_TYPE_RGB, 16, false, false},
      {"rgb8_trns", PNG_COLOR_TYPE_RGB, 8, true, false},
      {"rgb16_trns", PNG_COLOR_TYPE_RGB, 16, true, false},
      {"gray1", PNG_COLOR_TYPE_GRAY, 1, false, false},
      {"gray2", PNG_COLOR_TYPE_GRAY, 2, false, false},
      {"gray4", PNG_COLOR_TYPE_GRAY, 4, false, false},
      {"gray8", PNG_COLOR_TYPE_GRAY, 8, false, false},
      {"gray16", PNG_COLOR_TYPE_GRAY, 16, false, false},
      {"gray4_trns", PNG_COLOR_TYPE_GRAY, 4, true, false},
      {"gray8_trns", PNG_COLOR_TYPE_GRAY, 8, true, false},
      {"grayalpha8", PNG_COLOR_TYPE_GRAY_ALPHA, 8, false, false},
      {"grayalpha16", PNG_COLOR_TYPE_GRAY_ALPHA, 16, false, false},
      {"palette1", PNG_COLOR_TYPE_PALETTE, 1, false, false},
      {"palette2_trns", PNG_COLOR_TYPE_PALETTE, 2, true, false},
      {"palette4", PNG_COLOR_TYPE_PALETTE, 4, false, false},
      {"palette4_trns", PNG_COLOR_TYPE_PALETTE, 4, true, false},
      {"palette8", PNG_COLOR_TYPE_PALETTE, 8, false, false},
      {"palette8_trns", PNG_COLOR_TYPE_PALETTE, 8, true, false},
  };
  static const std::vector<std::string> adam7_names = [] {
    std::vector<std::string> n;
    for (const Kind& k : base) n.push_back(std::string(k.name) + "_adam7");
    return n;
  }();
  static const std::vector<Kind> all = [] {
    std::vector<Kind> a = base;
    for (size_t i = 0; i < base.size(); i++) {
      Kind k = base[i];
      k.name = adam7_names[i].c_str();
      k.interlaced = true;
      a.push_back(k);
    }
    return a;
  }();
  return all;
}

}  // namespace pngtest
