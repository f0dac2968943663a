// Stored pictures: the boot logo and the local slideshow.
//
// Threads: play_local_jpg_async is called by the USB supervisor; the
// slideshow runs on its own detached thread and stops when ImgPlaying
// (common/state.h) is no longer 1, which any thread may clear.
// playXyzAnnimation runs on the caller's thread (start-up, command loop).
// Errors: as show_jpg_local (image/jpeg.h); thread creation results are
// returned as pthread_create gives them.
#pragma once

#include <pthread.h>

// Starts the slideshow unless one runs; 0 when one runs already, otherwise
// the thread creation result.
int play_local_jpg_async();
// The slideshow thread: 1 after a normal end, -1 when the image directory
// cannot be opened. Returns its result as (void*)(intptr_t).
void* play_local_jpg_thread(void*);
// Number of slideshow threads alive (0 or 1 in steady state; a stopped
// thread counts until it has left its last pause).
int slideshow_threads();
// The boot logo at start-up: playXyzAnnimation's result.
int playBootAnnimation();
// Shows "/media/logo.jpg"; show_jpg_local's result.
int playXyzAnnimation();
