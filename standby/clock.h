// The clock screen: hours and minutes, month/day and year on the overlay
// plane above a background picture, and the setting of the system time.
//
// Threading: clock_init and clock_setSize run at start-up; clock_thread runs
// on its own thread (started by the USB supervisor when CLOCK_STATE is -1);
// clock_set runs on the command loop. The clock's face and measurements are
// guarded by clock_font_mutex, which the clock thread holds while it paints
// a frame. CLOCK_STATE (common/state.h) is the run state.
// Errors: 0 / -1 as documented; clock_set returns 1 when the time is not set.
#pragma once

#include <ft2build.h>
#include FT_FREETYPE_H

#include <cstdint>
#include <ctime>
#include <mutex>

#include "standby/text.h"

// Guards the clock's face and measured cells.
extern std::mutex clock_font_mutex;

// Digit cells and sizes measured by clock_updateFontSizeParam.
struct ClockMetrics {
  int32_t time_font_size, date_font_size;
  int32_t time_max_width, time_max_rows;
  int32_t date_max_width, date_max_rows;
};
ClockMetrics clock_metrics();

int clock_init();
// Stores the sizes and measures; may be called again (the maxima only grow).
int clock_setSize(int time_size, int date_size);
int clock_updateFontSizeParam();
// Half the summed glyph widths of `text` at the face's current size.
int32_t calc_date_center_x(const char* text);
// Paints the time, date and year lines of `t` (UTC fields) onto a canvas;
// the caller holds clock_font_mutex.
void clock_paint(const Canvas& cv, const struct tm& t);
// Thread entry; returns null once stopped (CLOCK_STATE then -1).
void* clock_thread(void* unused = nullptr);
// Sets the system time to the given UTC date and time. 0, or 1 when the
// values are not a valid date and time or the clock refuses them.
int clock_set(int year, int month, int day, int hour, uint8_t minute, uint8_t second);
