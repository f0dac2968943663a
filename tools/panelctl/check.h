// Checks of media files before they go to the device. The device answers
// every frame with status 200 and drops what it cannot show, so the tool
// refuses such input itself, with a one-line reason and the way out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace check {

// What the first bytes of a file say it is: "JPEG", "PNG", "GIF", "MP4",
// "Matroska", "WebM", "AVI", "WebP", "BMP", "MPEG-TS", "H.264" (Annex B);
// "" when unknown.
std::string kind_of(const uint8_t* p, size_t n);

// A JPEG file the device decodes: signature, header, at most 64 megapixels,
// and entropy-coded data that decodes without a warning. False with the
// reason (naming `name`) in *why.
bool jpeg(const std::string& name, const std::vector<uint8_t>& data, std::string* why);

// A PNG file the device decodes: signature, header and the whole picture.
bool png(const std::string& name, const std::vector<uint8_t>& data, std::string* why);

// What an Annex B H.264 stream holds, from its parameter sets and slice
// headers.
struct H264Info {
  bool annex_b = false;  // begins with a start code
  int sps_count = 0, pps_count = 0;
  int profile = 0;        // profile_idc of the first sequence parameter set
  bool baseline = false;  // every sequence parameter set keeps to Baseline
  int chroma_format = 1, bit_depth = 8;
  int width = 0, height = 0;  // largest picture size of any parameter set
  bool cabac = false;         // a picture parameter set uses CABAC
  bool b_slices = false;
  int pictures = 0;
  int max_slices = 0;    // most slices in one picture
  bool damaged = false;  // a parameter set or slice header cannot be read
};
H264Info inspect_h264(const uint8_t* p, size_t n);

// The largest picture the device's decoder takes for band `band` of a
// stream of `bands` bands (1..3), on a usable panel area of w x h.
struct Limit {
  int w = 0, h = 0;
  std::string where;  // for messages: "on a 1080x2400 panel", "in band 2 of 3"
};
Limit band_limit(int area_w, int area_h, int bands, int band);

// A stream the device decodes in that band. False with the reason.
bool h264(const std::string& name, const std::vector<uint8_t>& data, Limit limit, std::string* why);

}  // namespace check
