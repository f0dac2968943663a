// Text rendering shared by the standby screens and the warning line.
//
// Threading: the warning face is used by the USB supervisor and the
// microcontroller link, serialised by warn_mutex (set-up included, which runs
// on the start-up thread). The clock painter runs on the clock thread under
// the clock's own font lock. Every painter on the overlay plane holds a
// PlaneReadLock from reading the buffer address to its pan.
// Errors: set-up returns 0 / -1; glyphs that do not load are skipped.
#include "standby/text.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "display/draw.h"
#include "display/fb.h"
#include "platform/display.h"
#include "platform/system.h"

char warn_buffer[128];
std::recursive_mutex warn_mutex;
SharedWord<int8_t> date_spacing{5};

namespace {

FT_Library warn_library = nullptr;
FT_Face warn_face = nullptr;

// Where and how the warning line is drawn.
struct WarnLayout {
  uint32_t colour;
  int32_t column, first_row, spacing;
};
const WarnLayout kWarn = {0xFF909090, 200, 1400, 5};

}  // namespace

uint32_t utf8_to_unicode(const char* text, uint32_t* len) {
  const uint8_t* s = reinterpret_cast<const uint8_t*>(text);
  *len = 0;
  uint8_t b0 = s[0];
  if (b0 < 0x80) {
    *len = 1;
    return b0;
  }
  uint32_t n;
  uint32_t code;
  if ((b0 & 0xE0) == 0xC0) {
    n = 2;
    code = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    n = 3;
    code = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    n = 4;
    code = b0 & 0x07;
  } else {
    return 0;  // a continuation byte or 0xF8..0xFF cannot begin a character
  }
  // Only the low six bits of a continuation byte count, but the text's end
  // is honoured: a NUL inside the sequence means the character is cut short.
  for (uint32_t i = 1; i < n; i++) {
    if (s[i] == 0) return 0;
    code = code << 6 | (s[i] & 0x3F);
  }
  *len = n;
  return code;
}

void place_glyph_r90(const Canvas& cv, const GlyphBitmap& g, int32_t x, int32_t y0,
                     uint32_t colour) {
  if (!cv.base || !g.buffer || g.rows <= 0 || g.width <= 0) return;
  int64_t row_bytes = g.pitch < 0 ? -int64_t(g.pitch) : g.pitch;
  // A bitmap whose rows are shorter than its width is not what FreeType
  // renders for the modes we read; drawing it would read past its rows.
  if (g.mono ? row_bytes * 8 < g.width : row_bytes < g.width) return;
  // Canvas rows y0 + c for c in [c0, c1) lie inside the canvas.
  int64_t c0 = y0 < 0 ? -int64_t(y0) : 0;
  int64_t c1 = int64_t(cv.height) - y0;
  if (c1 > g.width) c1 = g.width;
  if (c0 >= c1) return;
  for (int32_t r = 0; r < g.rows; r++) {
    int64_t col = int64_t(x) + (g.rows - 1 - r);
    if (col < 0 || col >= cv.width) continue;
    // A negative pitch stores the rows bottom-up from the buffer's start.
    int64_t src_row = g.pitch < 0 ? g.rows - 1 - r : r;
    const uint8_t* src = g.buffer + src_row * row_bytes;
    uint8_t* dst = cv.base + size_t(col) * 4;
    for (int64_t c = c0; c < c1; c++) {
      bool covered = g.mono ? (src[c >> 3] & (0x80 >> (c & 7))) != 0 : src[c] != 0;
      if (covered) {
        // One whole-pixel store, like every other overlay writer: painters
        // may overlap (a clear while the screen ends), never tear a pixel.
        uint8_t* p = dst + size_t(y0 + c) * size_t(cv.pitch);
        __atomic_store_n(reinterpret_cast<uint32_t*>(p), colour, __ATOMIC_RELAXED);
      }
    }
  }
}

GlyphBitmap glyph_of(FT_Face face) {
  GlyphBitmap g;
  if (!face || !face->glyph) return g;
  const FT_Bitmap& b = face->glyph->bitmap;
  g.rows = static_cast<int32_t>(b.rows);
  g.width = static_cast<int32_t>(b.width);
  g.pitch = b.pitch;
  g.buffer = b.buffer;
  g.mono = b.pixel_mode == FT_PIXEL_MODE_MONO;
  return g;
}

uint32_t next_glyph(FT_Face face, const char* text, bool with_code, bool* loaded) {
  *loaded = false;
  uint32_t len = 0;
  uint32_t code = utf8_to_unicode(text, &len);
  // A byte that cannot begin a character (or starts one the text cuts
  // short) is skipped by itself, so the loop always moves on.
  if (len == 0) return 1;
  FT_Error err = face ? FT_Load_Char(face, code, FT_LOAD_RENDER) : FT_Err_Invalid_Face_Handle;
  if (err) {
    if (with_code) {
      printf("err %d Error loading character 0x%lx\n", err, static_cast<unsigned long>(code));
    } else {
      printf("Error loading character 0x%lx\n", static_cast<unsigned long>(code));
    }
    return len;
  }
  *loaded = true;
  return len;
}

int font_setup(FT_Library* library, FT_Face* face, const char* font_path, int size) {
  *face = nullptr;
  if (FT_Init_FreeType(library)) {
    puts("FT_Init_FreeType error\r");
    *library = nullptr;
  }
  std::string path = dev_path(font_path);
  if (!*library || FT_New_Face(*library, path.c_str(), 0, face)) {
    puts("FT_New_Face error\r");
    *face = nullptr;
  }
  if (!*face || FT_Set_Pixel_Sizes(*face, 0, size)) {
    puts("Error setting pixel size");
    return -1;
  }
  puts("freetype init success\r");
  return 0;
}

void font_set_size(FT_Face face, int size) {
  if (face) FT_Set_Pixel_Sizes(face, 0, size);
}

Canvas text_canvas(uintptr_t base) {
  Canvas cv;
  if (!base) return cv;
  // Pixels are addressed as draw_point does (plane 0's row pitch) and kept
  // inside both planes' visible area and inside one overlay buffer.
  uint32_t w = fb_info.xres < fb1_info.xres ? fb_info.xres : fb1_info.xres;
  uint32_t h = fb_info.yres < fb1_info.yres ? fb_info.yres : fb1_info.yres;
  uint32_t pitch = fb_info.line_length;
  uint32_t frame = fb1_info.frame_size;
  if (pitch == 0 || w == 0 || h == 0) return cv;
  if (w > pitch / 4) w = pitch / 4;
  if (uint64_t(w) * 4 > frame) return cv;
  uint64_t fit_rows = (uint64_t(frame) - uint64_t(w) * 4) / pitch + 1;
  if (h > fit_rows) h = static_cast<uint32_t>(fit_rows);
  cv.base = reinterpret_cast<uint8_t*>(base);
  cv.width = static_cast<int32_t>(w);
  cv.height = static_cast<int32_t>(h);
  cv.pitch = static_cast<int32_t>(pitch);
  return cv;
}

void show_string_r90_on(const Canvas& cv, FT_Face face, const char* text, int32_t x, int32_t y,
                        int32_t cell, int8_t spacing, uint32_t colour) {
  int32_t pen = y;
  while (*text) {
    bool loaded = false;
    uint32_t n = next_glyph(face, text, true, &loaded);
    if (loaded) {
      GlyphBitmap g = glyph_of(face);
      // Digits stand at the far end of their cell so that the time keeps
      // its columns whatever the digits' widths.
      int32_t s;
      if (*text == ':') {
        s = 0;
      } else if (*text == '/') {
        s = g.width;
      } else {
        s = cell - g.width;
      }
      if (spacing == date_spacing) s = 0;
      place_glyph_r90(cv, g, x, pen + s, colour);
      pen += g.width + spacing;
      if (spacing == 25) pen += s;
    }
    text += n;
  }
}

void show_warn_line_on(const Canvas& cv, FT_Face face, const char* text) {
  int32_t pen = kWarn.first_row;
  for_each_glyph(face, text, true, [&](const GlyphBitmap& g) {
    place_glyph_r90(cv, g, kWarn.column, pen, kWarn.colour);
    pen += g.width + kWarn.spacing;
  });
}

int show_warn_msg_init() {
  std::lock_guard<std::recursive_mutex> lock(warn_mutex);
  return font_setup(&warn_library, &warn_face, "/media/phei00u.ttf", 50);
}

void show_warn_msg(const char* text) {
  std::lock_guard<std::recursive_mutex> lock(warn_mutex);
  // A caller that filled warn_buffer to the brim still gets a terminated text.
  if (text == warn_buffer) warn_buffer[sizeof warn_buffer - 1] = '\0';
  overlay_flip([text](int32_t n) {
    puts("show warn msg");
    show_warn_line_on(text_canvas(fb1_buffer(n)), warn_face, text ? text : "");
  });
}
