// The offline sensor screen: coolant temperature and pump speed on the
// overlay plane, once a second, from power-on until someone takes the panel.
//
// Threading: offline_init and offline_setSize run at start-up before the
// thread is started; offline_mode_thread runs once per process. temperature
// and pump_speed are written by the microcontroller link and read once per
// frame. The face and the measured cells are guarded by a font lock that
// the thread holds for each frame. OFFLINE_MODE_STATE (common/state.h) is the run state.
// Errors: 0 / -1 as documented; glyph failures are printed and skipped.
#pragma once

#include <cstdint>

#include "common/word.h"
#include "standby/text.h"

// Readings of the cooler: degrees Celsius (0..255) and revolutions per
// minute (0..65535); 0 until the microcontroller reports.
extern SharedWord<int32_t> temperature;
extern SharedWord<int32_t> pump_speed;

int offline_init();
// Measures the digits at both sizes; leaves the face at the small size.
int offline_setSize(int big, int small);

// The painters, on a canvas. They use the face unlocked: the offline
// thread calls them under its font lock; others use offline_paint_locked.
void offline_draw_label(const Canvas& cv, const char* text, int32_t x, int32_t y);
void offline_draw_number(const Canvas& cv, const char* text, int32_t x, int32_t y, int32_t cell,
                         int8_t spacing);
// Paints labels, speed, degree sign and temperature (no background).
void offline_paint(const Canvas& cv, int32_t temp, int32_t speed);
// Locks the face and paints (for callers outside the thread).
void offline_paint_locked(const Canvas& cv, int32_t temp, int32_t speed);

struct OfflineMetrics {
  int32_t big_max_rows, big_max_width, small_max_rows, small_max_width;
};
OfflineMetrics offline_metrics();

// Thread entry: sets OFFLINE_MODE_STATE to 1, paints until it is no longer
// 1, clears both overlay buffers and sets -1.
void* offline_mode_thread(void* unused);
