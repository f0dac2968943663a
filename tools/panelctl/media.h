// Any picture or video FFmpeg's libraries read, decoded frame by frame and
// fitted to the panel's usable area; H.264 encoding that the device's
// decoder takes; JPEG encoding of stills.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct AVFormatContext;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace media {

// The libraries report only errors (panelctl words its own messages).
void quiet_logs();

enum class Fit { kLetterbox, kCrop, kStretch };

struct Size {
  int w = 0, h = 0;
};

// The usable area of a panel whose plane 0 is `panel` pixels, rotated by
// `rotation` (0..3), as the daemon derives it.
Size usable_area(Size panel, int rotation);

// Where a picture of `src` goes on `area`: scaled to `scaled`, whose pixel
// (0, 0) lands at `at` on the area (negative: cropped).
struct Placement {
  Size scaled;
  int x = 0, y = 0;
};
Placement place(Size src, Size area, Fit fit);

// A decoded picture on the area: full-range YUV 4:2:0 (what the panel's
// NV12 path shows), black outside the picture.
struct Canvas {
  Size size;
  std::vector<uint8_t> y, u, v;  // w x h, (w/2) x (h/2) each
};

// Reads the video stream of a media file.
class Source {
 public:
  ~Source();
  // False with a one-line reason naming the file.
  bool open(const std::string& path, std::string* why);
  // The next frame fitted to `area`; false at the end (or on an error:
  // *why not empty).
  bool next(Size area, Fit fit, Canvas* out, std::string* why);
  // Back to the first frame (for --loop).
  bool rewind();
  double fps() const { return fps_; }
  // Frames the container announces (0 when unknown).
  int64_t frame_count() const { return frames_; }
  double duration_s() const { return duration_; }

 private:
  bool decode(std::string* why);
  void fit(Size area, Fit fit, Canvas* out);
  std::string path_;
  AVFormatContext* fmt_ = nullptr;
  AVCodecContext* dec_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* pkt_ = nullptr;
  SwsContext* sws_ = nullptr;
  int stream_ = -1;
  bool flushing_ = false;
  double fps_ = 25;
  int64_t frames_ = 0;
  double duration_ = 0;
};

// H.264 for the device: baseline, one slice per picture, parameter sets in
// band before every key picture, Annex B, at one band's size.
class Encoder {
 public:
  ~Encoder();
  bool open(Size size, int fps, std::string* why);
  // Encodes rows [top, top + size.h) of the canvas (nullptr: flush); appends
  // each finished picture to *out.
  bool encode(const Canvas* c, int top, std::vector<std::vector<uint8_t>>* out, std::string* why);

 private:
  AVCodecContext* enc_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* pkt_ = nullptr;
  int64_t pts_ = 0;
};

// A JPEG file of the canvas (4:2:0), at most `max_bytes` long.
bool encode_jpeg(const Canvas& c, size_t max_bytes, std::vector<uint8_t>* out, std::string* why);

}  // namespace media
