// USB link supervisor: reads the USB device controller's state once a second
// and decides what the panel shows while the host is away or comes back.
//
// Threading: usb_state_thread owns usb_connect_state and usb_timeout_long_cnt
// (other threads only read them) and its own last acted-on state. It shares
// usb_timeout_cnt with the command loop (which clears it on every valid
// packet) and mcu_usb_suspend_count with the microcontroller link; all of
// them are SharedWords. The warning sequence runs under warn_mutex
// (standby/text.h) so that it never interleaves with the microcontroller
// link's warning.
// Errors: get_usb_state returns -1 when the attribute cannot be read; the
// results of the display and playback calls are ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "common/word.h"

// Last result of get_usb_state: 1 configured, 0 another state, -1 unreadable.
extern SharedWord<int32_t> usb_connect_state;

// Reads the controller's state attribute: 1 "configured", 0 any other text,
// -1 when it cannot be opened or waited on.
int32_t get_usb_state();

// What one second of supervision asks for (steps of the loop, factored out
// so that the decision sequence can be followed without a thread).
enum class UsbStep {
  kPaused,    // test mode or decoder test: counters updated, nothing else
  kCounting,  // a new state is being counted towards the loss threshold
  kSteady,    // state equals the last acted-on one
  kArrival,   // host arrived: run the arrival action, then settle
  kLoss,      // ten counted seconds in a state other than configured
};
// Applies reading `st` to the counters and decides; `last_state` is the
// state last acted on (the caller settles it after an arrival or loss).
UsbStep usb_state_step(int32_t st, int32_t last_state);
// After an arrival or loss action: remember the state, restart the count.
void usb_settle(int32_t* last_state);
// The one-minute check: true in the second the backlight is to go off.
bool usb_backlight_off_due();

// What the loss action does, from the microcontroller's suspend report,
// warn_enable, clock_enable and CLOCK_STATE.
enum class UsbLossChoice { kWarn, kClock, kDark, kNothing };
UsbLossChoice usb_loss_choice();

void usb_arrival_action();
void usb_loss_action();

// Asks a running offline screen to stop (stopping its background video too)
// and waits until its thread has finished: 300 ms, then every 200 ms until
// OFFLINE_MODE_STATE is -1. Used by both warning painters.
void stop_offline_and_wait();

// The warning sequence of the host-loss and the suspend warnings, one at a
// time (warn_mutex): stops the offline screen, empties the overlay, shows
// the warning picture, then the line that `format` writes (formatted only
// now, so it shows the counts of this moment), and prints `done`.
void show_warning(const std::function<void(char*, size_t)>& format, const char* done);

// Thread entry; never returns.
void* usb_state_thread(void*);
