// The board's hardware H.264 decoder and NAL-unit splitter (vendor codec
// library).
//
// Threading: a decoder instance and a splitter belong to one thread at a
// time; different instances may be used from different threads at once.
// Errors: open/init return null, work/get_frame_info return -1 with errno
// set, the splitter's reads return 0 or less when they have no unit.
#pragma once

#include <cstddef>
#include <cstdint>

// V4L2 four-character code of NV12.
constexpr uint32_t kFourccNV12 = 'N' | 'V' << 8 | '1' << 16 | '2' << 24;
// Line stride of every picture the decoder writes, in bytes, fixed.
constexpr uint32_t kH264LineStride = 1088;

// Decoder configuration: the codec library's record of six 32-bit words (the
// device path is a pointer; on a 64-bit development machine the record is
// wider, the 32-bit layout is the board's).
struct H264DecoderConfig {
  const char* device;  // "/dev/video2"
  int32_t width;       // largest picture the instance may write
  int32_t height;
  uint32_t pix_fmt;  // kFourccNV12
  uint32_t reserved[2];
};
static_assert(sizeof(void*) != 4 || sizeof(H264DecoderConfig) == 6 * 4, "6-word configuration");

// Frame descriptor: the codec library's frame record of eight 32-bit words.
// The caller fills the four buffer words; v4l2_h264_decoder_get_frame_info
// writes the decoder frame information, words 4 to 7: dec_info[0] (word 4)
// the line stride in bytes, dec_info[1] (word 5) the height in lines. The
// simulation also gives dec_info[2], the visible width in pixels (0 when a
// library does not, then the stride is the width).
struct H264FrameInfo {
  uint8_t* y_vaddr;
  uint8_t* uv_vaddr;
  uint32_t y_paddr;
  uint32_t uv_paddr;
  uint32_t dec_info[4];
};
static_assert(sizeof(void*) != 4 || sizeof(H264FrameInfo) == 8 * 4, "8-word frame descriptor");
static_assert(sizeof(void*) != 4 || offsetof(H264FrameInfo, dec_info) == 4 * 4, "info in word 4");

struct V4l2H264Decoder;

// The codec library is a C library.
extern "C" {

V4l2H264Decoder* v4l2_h264_decoder_direct_open(const H264DecoderConfig* cfg);
// Decodes the Annex B units in data (parameter sets and one coded picture)
// and writes the picture as NV12 with kH264LineStride at y_dest and uv_dest.
// 0 on success; -1 with errno set when the data does not yield a picture or
// the picture is larger than the instance was opened for.
int v4l2_h264_decoder_direct_work(V4l2H264Decoder* h, const uint8_t* data, int32_t length,
                                  uint8_t* y_dest, uint8_t* uv_dest);
// Writes the information of the last picture into info->dec_info (see
// H264FrameInfo); the buffer words are left alone. 0, or -1 when no picture
// has been written yet.
int v4l2_h264_decoder_get_frame_info(V4l2H264Decoder* h, H264FrameInfo* info);
void v4l2_h264_decoder_close(V4l2H264Decoder* h);

}  // extern "C"

// One NAL unit as the splitter found it.
struct NaluUnit {
  uint32_t start_code_len;  // 3 or 4 (0 for a tail without start code)
  uint32_t length;          // bytes copied, start code included
  uint32_t type;            // nal_unit_type (ITU-T H.264), 0 when unknown
};
static_assert(sizeof(NaluUnit) == 3 * 4, "the splitter's unit descriptor has 3 words");

struct NaluBuf;

extern "C" {

// A byte FIFO of `capacity` bytes that cuts an Annex B stream into units.
NaluBuf* nalu_buf_init(uint32_t capacity);
// Appends up to length bytes; returns the number taken (fewer when full).
int32_t nalu_buf_write(NaluBuf* h, const uint8_t* data, uint32_t length);
// Copies the next complete unit (start code up to the next start code) to
// dest and removes it. Returns its length, or 0 when no complete unit is
// buffered. A unit longer than room is dropped and the next one is tried.
int32_t nalu_buf_read_unit(NaluBuf* h, NaluUnit* unit, uint8_t* dest, int32_t room);
// Takes all bytes left as one final unit: its length, or 0 when nothing is
// left. A tail longer than room is dropped and 0 returned.
int32_t nalu_buf_read_tail(NaluBuf* h, NaluUnit* unit, uint8_t* dest, int32_t room);
// Discards all buffered bytes; the handle stays usable.
void nalu_buf_clean(NaluBuf* h);

}  // extern "C"
