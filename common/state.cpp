#include "common/state.h"

SharedWord<int32_t> CLOCK_STATE{-1};
SharedWord<int32_t> OFFLINE_MODE_STATE{-1};
SharedWord<uint32_t> test_mode{0};
SharedWord<uint32_t> usb_timeout_cnt{0};
SharedWord<int32_t> h264_start_mark{0};
SharedWord<int32_t> local_h264_playing{0};
SharedWord<int32_t> h264_mode{1};
SharedWord<int32_t> curr_frame{0};
SharedWord<int32_t> ImgPlaying{0};
SharedWord<uint8_t> test_h264{0};
SharedWord<StopHook> local_video_stop_hook{nullptr};
