// The SoC's hardware JPEG decoder.
//
// A decoder instance decodes one JPEG file from memory into NV12 output
// memory chosen by the caller, at the size the request asks for. Instances
// are independent; one instance is used by one thread at a time.
// Errors: null handle from open, negative or non-zero results elsewhere; on a
// failed decode the output memory may hold anything and must not be shown.
#pragma once

#include <cstdint>

// Output format code of a decode request.
constexpr uint32_t JPEGD_FORMAT_NV12 = 0;

// Decode request: the decoder library's record of seven 32-bit words. The
// data address is a full pointer, so on a 64-bit development machine the
// record is wider; the 32-bit layout is the board's.
struct JpegdRequest {
  uint32_t length;      // bytes of JPEG data
  uint32_t width;       // output width in pixels
  uint32_t height;      // output height in pixels
  uint32_t format;      // JPEGD_FORMAT_NV12
  const uint8_t* data;  // the JPEG file in memory
  uint32_t reserved[2];
};
static_assert(sizeof(void*) != 4 || sizeof(JpegdRequest) == 7 * 4,
              "the board's request has 7 words");

// Decoder output record: eight words, filled by jpegd_decoder_get and handed
// back with jpegd_decoder_put. Word 2 is the line pitch in bytes of both
// planes, word 3 the number of luma lines; chroma follows luma at
// pitch x lines bytes.
struct JpegdFrame {
  uint32_t words[8];
  uint32_t pitch() const { return words[2]; }
  uint32_t lines() const { return words[3]; }
};
static_assert(sizeof(JpegdFrame) == 8 * 4, "the board's frame record has 8 words");

struct JpegdDecoder;

// The decoder library is a C library.
extern "C" {

JpegdDecoder* jpegd_decoder_open();
// Sets where the next decode writes: `vaddr` in the process, `paddr` the same
// memory's physical address, `size` bytes available there. Negative when the
// memory cannot hold a picture of the requested size.
int jpegd_decoder_set_output_mem(JpegdDecoder* h, const JpegdRequest* request, void* vaddr,
                                 uint32_t paddr, uint32_t size);
// Decodes the request's data into the output memory. 0 means a complete NV12
// picture is there; anything else (corrupt, truncated or empty data, no output
// memory) is a failure.
int jpegd_decoder_get(JpegdDecoder* h, const JpegdRequest* request, JpegdFrame* frame);
int jpegd_decoder_put(JpegdDecoder* h, JpegdFrame* frame);
int jpegd_decoder_close(JpegdDecoder* h);

}  // extern "C"
