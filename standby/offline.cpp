// The offline sensor screen.
//
// Threading: the face and the digit cells are set up on the start-up thread
// and then used by the offline thread only; offline_font_mutex makes that
// hand-over explicit. The thread owns the overlay while OFFLINE_MODE_STATE is
// 1 and holds a PlaneReadLock for each frame. Readings are SharedWords.
// Errors: set-up returns 0 / -1; glyph failures are printed and skipped, so
// a missing font leaves only the background rectangle.
#include "standby/offline.h"

#include <unistd.h>

#include <cstdio>
#include <mutex>

#include "common/state.h"
#include "display/draw.h"
#include "display/fb.h"
#include "platform/display.h"
#include "storage/config.h"

SharedWord<int32_t> temperature{0};
SharedWord<int32_t> pump_speed{0};
// Background colours of factory test mode, one per frame in this order.
static const uint32_t offline_test_colours[4] = {0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0xFFFFFFFF};

namespace {

FT_Library offline_library = nullptr;
FT_Face offline_face = nullptr;
std::mutex offline_font_mutex;

int32_t offline_big_max_rows = 0;
int32_t offline_big_max_width = 0;
int32_t offline_small_max_rows = 0;
int32_t offline_small_max_width = 0;
uint32_t offline_frame_counter = 0;  // offline thread only

const uint32_t kBlack = 0xFF000000;
// Pixel sizes of the screen's texts.
struct TextSizes {
  int32_t label, degree, temperature;
};
const TextSizes kTextSize = {135, 250, 550};
const int32_t kRectWidth = 1048;
const int32_t kRectHeight = 2288;

void measure(int32_t* max_width, int32_t* max_rows) {
  for_each_glyph(offline_face, "0123456789", false, [&](const GlyphBitmap& g) {
    if (g.rows > *max_rows) *max_rows = g.rows;
    if (g.width > *max_width) *max_width = g.width;
  });
}

}  // namespace

int offline_init() {
  std::lock_guard<std::mutex> lock(offline_font_mutex);
  return font_setup(&offline_library, &offline_face, "/media/AgencyGothicCTBold.ttf", 100);
}

int offline_setSize(int big, int small) {
  std::lock_guard<std::mutex> lock(offline_font_mutex);
  font_set_size(offline_face, big);
  measure(&offline_big_max_width, &offline_big_max_rows);
  font_set_size(offline_face, small);
  measure(&offline_small_max_width, &offline_small_max_rows);
  return 0;
}

OfflineMetrics offline_metrics() {
  std::lock_guard<std::mutex> lock(offline_font_mutex);
  return OfflineMetrics{offline_big_max_rows, offline_big_max_width, offline_small_max_rows,
                        offline_small_max_width};
}

void offline_draw_label(const Canvas& cv, const char* text, int32_t x, int32_t y) {
  int32_t pen = y;
  for_each_glyph(offline_face, text, false, [&](const GlyphBitmap& g) {
    place_glyph_r90(cv, g, x, pen, kBlack);
    pen += g.width + 5;
  });
}

void offline_draw_number(const Canvas& cv, const char* text, int32_t x, int32_t y, int32_t cell,
                         int8_t spacing) {
  int32_t pen = y;
  for_each_glyph(offline_face, text, false, [&](const GlyphBitmap& g) {
    // Each digit stands at the far end of its cell.
    place_glyph_r90(cv, g, x, pen + cell - g.width, kBlack);
    pen += spacing == 0 ? cell + 4 : g.width + spacing + 4;
  });
}

void offline_paint(const Canvas& cv, int32_t temp, int32_t speed) {
  char text[16] = {0};
  font_set_size(offline_face, kTextSize.label);
  offline_draw_label(cv, "WATER", 860, 1100);
  offline_draw_label(cv, "PUMP", 190, 870);
  offline_draw_label(cv, "RPM", 190, 1460);
  snprintf(text, sizeof text, "%d", speed);
  offline_draw_number(cv, text, 190, 1200, offline_small_max_width, 0);

  font_set_size(offline_face, kTextSize.degree);
  offline_draw_number(cv, "\xC2\xB0", 700, 1150, offline_big_max_rows, 50);

  font_set_size(offline_face, kTextSize.temperature);
  snprintf(text, sizeof text, "%d", temp);
  offline_draw_number(cv, text, 380, temp < 10 ? 1120 : 1000, offline_big_max_width, 0);
}

void offline_paint_locked(const Canvas& cv, int32_t temp, int32_t speed) {
  std::lock_guard<std::mutex> lock(offline_font_mutex);
  offline_paint(cv, temp, speed);
}

void* offline_mode_thread(void*) {
  OFFLINE_MODE_STATE.store(1);
  usleep(600000);
  do {
    {
      std::lock_guard<std::mutex> font(offline_font_mutex);
      overlay_flip([](int32_t n) {
        uintptr_t base = fb1_buffer(n);
        uint32_t background = test_mode == 1 ? offline_test_colours[offline_frame_counter] : 0;
        draw_rect(base, fb_x_offset, dev_y, kRectWidth, kRectHeight, background);
        offline_paint(text_canvas(base), temperature, pump_speed);
      });
    }
    usleep(1000000);
    if (++offline_frame_counter == 4) offline_frame_counter = 0;
  } while (OFFLINE_MODE_STATE == 1);
  clear_overlay();
  OFFLINE_MODE_STATE.store(-1);
  return nullptr;
}
