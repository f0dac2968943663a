// The clock screen and the system time.
//
// Threading: the face and the measured cells are written at start-up and
// read by the clock thread; clock_font_mutex orders the two (the supervisor
// that starts the clock shares no other lock with start-up). The clock
// thread owns the overlay while CLOCK_STATE is 1 and holds a PlaneReadLock
// for each frame. clock_set runs on the command loop (and at start-up).
// Errors: clock_set returns 1 and writes "can not set time" to stderr;
// glyph failures are printed and skipped.
#include "standby/clock.h"

#include <sys/time.h>
#include <unistd.h>

#include <cstdio>

#include "common/state.h"
#include "display/draw.h"
#include "display/fb.h"
#include "image/jpeg.h"
#include "platform/display.h"
#include "platform/system.h"

std::mutex clock_font_mutex;

namespace {

FT_Library clock_library = nullptr;
FT_Face clock_face = nullptr;
int32_t time_font_size = 0;
int32_t date_font_size = 0;
int32_t time_max_width = 0;
int32_t time_max_rows = 0;
int32_t date_max_width = 0;
int32_t date_max_rows = 0;

const uint32_t kLightGrey = 0xFFB8B8B8;
const uint32_t kGrey = 0xFF909090;
const int32_t kYearFontSize = 60;
const useconds_t kFramePause = 250000;
const useconds_t kStartPause = 600000;

// Raises *max_width and *max_rows to the largest glyph of `chars`.
void measure(const char* chars, int32_t* max_width, int32_t* max_rows) {
  for_each_glyph(clock_face, chars, false, [&](const GlyphBitmap& g) {
    if (g.rows > *max_rows) *max_rows = g.rows;
    if (g.width > *max_width) *max_width = g.width;
  });
}

void print_time(const char* title) {
  struct timeval tv;
  platform_gettimeofday(&tv);
  time_t now = tv.tv_sec;
  struct tm t;
  gmtime_r(&now, &t);
  puts(title);
  printf("%d/%d/%d\r\n", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
  printf("%d:%d:%d\r\n", t.tm_hour, t.tm_min, t.tm_sec);
}

bool leap_year(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// A calendar date and time the clock can show; the conversion would
// otherwise silently turn month 13 or day 0 into some other date.
bool valid_date_time(int year, int month, int day, int hour, int minute, int second) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1970 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  int days = kDays[month - 1] + (month == 2 && leap_year(year) ? 1 : 0);
  return day <= days && hour >= 0 && hour < 24 && minute < 60 && second < 60;
}

}  // namespace

ClockMetrics clock_metrics() {
  std::lock_guard<std::mutex> lock(clock_font_mutex);
  return ClockMetrics{time_font_size, date_font_size, time_max_width,
                      time_max_rows,  date_max_width, date_max_rows};
}

int clock_init() {
  std::lock_guard<std::mutex> lock(clock_font_mutex);
  return font_setup(&clock_library, &clock_face, "/media/phei00u.ttf", 100);
}

int clock_setSize(int time_size, int date_size) {
  std::lock_guard<std::mutex> lock(clock_font_mutex);
  time_font_size = time_size;
  date_font_size = date_size;
  return clock_updateFontSizeParam();
}

int clock_updateFontSizeParam() {
  font_set_size(clock_face, time_font_size);
  measure("0123456789:", &time_max_width, &time_max_rows);
  font_set_size(clock_face, date_font_size);
  measure("0123456789/", &date_max_width, &date_max_rows);
  printf("time font size %d max width %d rows %d \n", time_font_size, time_max_width,
         time_max_rows);
  printf("date font size %d max width %d rows %d \n", date_font_size, date_max_width,
         date_max_rows);
  return 0;
}

int32_t calc_date_center_x(const char* text) {
  int32_t sum = 0;
  for_each_glyph(clock_face, text, false, [&](const GlyphBitmap& g) { sum += g.width; });
  return sum / 2;
}

void clock_paint(const Canvas& cv, const struct tm& t) {
  char time_text[16] = {0};
  char date_text[16] = {0};
  char year_text[16] = {0};

  font_set_size(clock_face, time_font_size);
  snprintf(time_text, sizeof time_text, "%02d:%02d", t.tm_hour, t.tm_min);
  show_string_r90_on(cv, clock_face, time_text, 495, 280, time_max_width, 25, kLightGrey);

  font_set_size(clock_face, date_font_size);
  snprintf(date_text, sizeof date_text, "%d/%d", t.tm_mon + 1, t.tm_mday);
  int32_t c = calc_date_center_x(date_text);
  show_string_r90_on(cv, clock_face, date_text, 550, 1890 - c, date_max_width, date_spacing,
                     kLightGrey);

  font_set_size(clock_face, kYearFontSize);
  snprintf(year_text, sizeof year_text, "%d", t.tm_year + 1900);
  show_string_r90_on(cv, clock_face, year_text, 420, 1790, date_max_width, date_spacing, kGrey);
}

void* clock_thread(void*) {
  show_jpg_local("/media/offline_logo.jpg");
  show_jpg_local("/media/offline_logo.jpg");
  CLOCK_STATE.store(1);
  date_spacing.store(20);
  usleep(kStartPause);
  do {
    {
      std::lock_guard<std::mutex> font(clock_font_mutex);
      overlay_flip([](int32_t n) {
        uintptr_t base = fb1_buffer(n);
        struct timeval tv;
        platform_gettimeofday(&tv);
        time_t now = tv.tv_sec;
        struct tm t;
        gmtime_r(&now, &t);
        draw_rect(base, 0, 0, -1, -1, 0);
        clock_paint(text_canvas(base), t);
      });
    }
    usleep(kFramePause);
  } while (CLOCK_STATE == 1);
  clear_overlay();
  CLOCK_STATE.store(-1);
  return nullptr;
}

int clock_set(int year, int month, int day, int hour, uint8_t minute, uint8_t second) {
  struct timeval tv;
  platform_gettimeofday(&tv);
  time_t now = tv.tv_sec;
  struct tm t;
  gmtime_r(&now, &t);
  print_time("current sys time before set :\r");
  puts("set sys time ...\r");
  t.tm_min = minute;
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_sec = second;
  // The fields are UTC, as the clock shows them: timegm, not the local zone.
  time_t when = valid_date_time(year, month, day, hour, minute, second) ? timegm(&t) : -1;
  struct timeval set = {when, 0};
  if (when == static_cast<time_t>(-1) || platform_settimeofday(&set) != 0) {
    fputs("can not set time \r\n", stderr);
    return 1;
  }
  print_time("current sys time after set :\r");
  return 0;
}
