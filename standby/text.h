// Text on the overlay plane: UTF-8 decoding, FreeType glyphs, rotated placement.
//
// The panel is mounted turned by 90 degrees, so every text runs along
// increasing framebuffer rows with the tops of its letters towards increasing
// columns. Each text user owns one FreeType library and face, created once at
// start-up and then used by one thread only; show_warn_msg is the exception:
// the USB supervisor and the microcontroller link both call it, so it is
// serialised by warn_mutex.
//
// Errors: set-up functions return 0 or -1 and print their reason; glyphs that
// do not load are skipped with a printed line; nothing here aborts.
#pragma once

#include <ft2build.h>
#include FT_FREETYPE_H

#include <cstdint>
#include <mutex>

#include "common/word.h"
#include "display/draw.h"

// The parts of a rendered glyph the painters use.
struct GlyphBitmap {
  int32_t rows = 0;
  int32_t width = 0;
  int32_t pitch = 0;  // bytes per bitmap row
  const uint8_t* buffer = nullptr;
  bool mono = false;  // 1 bit per pixel (embedded bitmaps) instead of 8
};

// Decodes the character at `text`; writes the number of bytes it occupies to
// *len. A byte that cannot begin a character, or a character cut short by the
// terminating NUL, gives code 0 and length 0; the decoder never reads past a NUL.
uint32_t utf8_to_unicode(const char* text, uint32_t* len);

// Places a glyph turned by 90 degrees: bitmap row r, column c goes to canvas
// column x + (rows - 1 - r), row y0 + c. Covered pixels get `colour` (no
// blending), others are untouched, pixels outside the canvas are dropped.
void place_glyph_r90(const Canvas& cv, const GlyphBitmap& g, int32_t x, int32_t y0,
                     uint32_t colour);

// The glyph bitmap of a face's slot after a successful FT_Load_Char.
GlyphBitmap glyph_of(FT_Face face);

// One step of the per-character loop: decodes the character at `text`, loads
// it into face->glyph with rendering, and returns the bytes to advance (always
// at least 1 while *text is not NUL). *loaded says whether a glyph is ready;
// on a load failure the error line is printed: with the FreeType code when
// `with_code`, else without.
uint32_t next_glyph(FT_Face face, const char* text, bool with_code, bool* loaded);

// Calls fn(const GlyphBitmap&) for every character of `text` that loads.
template <typename Fn>
void for_each_glyph(FT_Face face, const char* text, bool with_code, Fn fn) {
  while (*text) {
    bool loaded = false;
    uint32_t n = next_glyph(face, text, with_code, &loaded);
    if (loaded) fn(glyph_of(face));
    text += n;
  }
}

// Font set-up shared by the three text users: library, face 0 of the device
// font file, pixel size. 0, or -1 when the size cannot be set (for instance
// because the font file is missing; the face then stays null and every later
// glyph load fails harmlessly).
int font_setup(FT_Library* library, FT_Face* face, const char* font_path, int size);

// Sets a face's pixel height (width 0); a null face is left alone.
void font_set_size(FT_Face face, int size);

// The overlay buffer at `base` (an overlay buffer start) as the canvas text
// is drawn on: rows plane 0's pitch apart, as draw_point addresses them,
// clipped to both planes' visible area and to one overlay buffer.
Canvas text_canvas(uintptr_t base);

// The painters of the clock string and the warning line, on any canvas.
void show_string_r90_on(const Canvas& cv, FT_Face face, const char* text, int32_t x, int32_t y,
                        int32_t cell, int8_t spacing, uint32_t colour);
void show_warn_line_on(const Canvas& cv, FT_Face face, const char* text);

// Character spacing of the clock's date lines: 5 until the first clock thread
// starts, 20 from then on. The clock painter compares its spacing with it.
extern SharedWord<int8_t> date_spacing;

// Warning line. Callers that format into warn_buffer hold warn_mutex across
// the formatting and the show_warn_msg call (it is recursive).
extern char warn_buffer[128];
extern std::recursive_mutex warn_mutex;

int show_warn_msg_init();
void show_warn_msg(const char* text);
