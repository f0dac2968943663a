// Entry points that start-up calls in the other subsystems.
//
// Each subsystem includes this header in the file that defines its entry
// points, so the compiler checks that both sides agree.
#pragma once

#include <pthread.h>
#include <semaphore.h>

#include <cstdint>

// Hand-over between the two PNG decoder threads, made by start-up and passed
// to both as their thread argument.
struct PngSync {
  sem_t back_free;             // initial count 1: the back buffer may be filled
  sem_t back_ready;            // initial count 0: a full-screen picture is complete
  pthread_mutex_t flip_lock;   // held across a flip and a full-screen decode
};

// display
int init_disp();
void set_framerate(int32_t fps);          // video: frame period from a rate
int jpeg_nv12_decode_prepare();           // image: reserves the JPEG output buffers
void set_brightness(int32_t level, int keep_stored);

// image
int playBootAnnimation();
void* decode_png_thread_func(void* sync);      // argument: PngSync*
void* decode_big_png_thread_func(void* sync);  // argument: PngSync*
// Messages waiting in the small PNG stream's display queue; -1 before the
// queue exists.
int png_display_queue_size();

// video
void* play_h264_thread2(void*);
int play_local_h264_async(const char* path);

// standby
int show_warn_msg_init();
int offline_init();
int offline_setSize(int big, int small);
void* offline_mode_thread(void*);
int clock_init();
int clock_setSize(int time_size, int date_size);
int clock_set(int year, int month, int day, int hour, uint8_t minute, uint8_t second);

// supervision
void* usb_state_thread(void*);
void* handle_data_thread(void*);
void* mcu_uart_thread(void*);
