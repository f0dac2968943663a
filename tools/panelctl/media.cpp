// Media decoding, fitting and encoding for `panelctl play`, on FFmpeg's
// libraries (libavformat, libavcodec with libx264, libswscale) and
// libjpeg-turbo.
#include "tools/panelctl/media.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace media {

namespace {

std::string av_text(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(err, buf, sizeof buf);
  return buf;
}

int chroma(int n) { return (n + 1) / 2; }

// Copies the overlap of `src` (placed at x, y on the canvas) into the
// canvas; x and y are even so that chroma stays aligned.
void paste(const Canvas& src, int x, int y, Canvas* dst) {
  for (int plane = 0; plane < 3; plane++) {
    const int sw = plane ? chroma(src.size.w) : src.size.w;
    const int sh = plane ? chroma(src.size.h) : src.size.h;
    const int dw = plane ? chroma(dst->size.w) : dst->size.w;
    const int dh = plane ? chroma(dst->size.h) : dst->size.h;
    const int ox = plane ? x / 2 : x, oy = plane ? y / 2 : y;
    const auto& s = plane == 0 ? src.y : plane == 1 ? src.u : src.v;
    auto& d = plane == 0 ? dst->y : plane == 1 ? dst->u : dst->v;
    const int x0 = std::max(0, ox), x1 = std::min(dw, ox + sw);
    if (x1 <= x0) continue;
    for (int row = std::max(0, oy); row < std::min(dh, oy + sh); row++)
      memcpy(&d[size_t(row) * dw + x0], &s[size_t(row - oy) * sw + (x0 - ox)], size_t(x1 - x0));
  }
}

void blank(Size size, Canvas* c) {
  c->size = size;
  c->y.assign(size_t(size.w) * size.h, 0);
  c->u.assign(size_t(chroma(size.w)) * chroma(size.h), 128);
  c->v.assign(c->u.size(), 128);
}

}  // namespace

void quiet_logs() { av_log_set_level(AV_LOG_QUIET); }

Size usable_area(Size panel, int rotation) {
  if (rotation == 1 || rotation == 3) std::swap(panel.w, panel.h);
  struct Row {
    int w, h, uw, uh;
  };
  static const Row kTable[] = {{720, 1600, 720, 1472}, {1600, 720, 1600, 720},
                               {424, 960, 368, 960},   {452, 1280, 448, 1280},
                               {480, 960, 320, 960},   {1080, 2400, 1080, 2288}};
  for (const Row& r : kTable)
    if (r.w == panel.w && r.h == panel.h) return Size{r.uw, r.uh};
  return panel;
}

Placement place(Size src, Size area, Fit fit) {
  Placement p;
  if (fit == Fit::kStretch || src.w <= 0 || src.h <= 0) {
    p.scaled = area;
    return p;
  }
  const double sx = double(area.w) / src.w, sy = double(area.h) / src.h;
  const double s = fit == Fit::kLetterbox ? std::min(sx, sy) : std::max(sx, sy);
  // Even sizes and offsets keep the chroma planes aligned.
  p.scaled.w = std::max(2, int(std::lround(src.w * s / 2)) * 2);
  p.scaled.h = std::max(2, int(std::lround(src.h * s / 2)) * 2);
  if (fit == Fit::kLetterbox) {
    p.scaled.w = std::min(p.scaled.w, area.w);
    p.scaled.h = std::min(p.scaled.h, area.h);
  }
  p.x = (area.w - p.scaled.w) / 4 * 2;
  p.y = (area.h - p.scaled.h) / 4 * 2;
  return p;
}

Source::~Source() {
  sws_freeContext(sws_);
  av_packet_free(&pkt_);
  av_frame_free(&frame_);
  avcodec_free_context(&dec_);
  avformat_close_input(&fmt_);
}

bool Source::open(const std::string& path, std::string* why) {
  path_ = path;
  int err = avformat_open_input(&fmt_, path.c_str(), nullptr, nullptr);
  if (err < 0) {
    *why = "cannot read " + path + ": " + av_text(err);
    return false;
  }
  if ((err = avformat_find_stream_info(fmt_, nullptr)) < 0) {
    *why = "cannot read " + path + " as media: " + av_text(err);
    return false;
  }
  const AVCodec* codec = nullptr;
  stream_ = av_find_best_stream(fmt_, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
  if (stream_ < 0 || !codec) {
    *why = path + " has no picture or video stream";
    return false;
  }
  AVStream* st = fmt_->streams[stream_];
  dec_ = avcodec_alloc_context3(codec);
  frame_ = av_frame_alloc();
  pkt_ = av_packet_alloc();
  if (!dec_ || !frame_ || !pkt_ || avcodec_parameters_to_context(dec_, st->codecpar) < 0 ||
      (err = avcodec_open2(dec_, codec, nullptr)) < 0) {
    *why = "cannot decode " + path + ": " + (err < 0 ? av_text(err) : "out of memory");
    return false;
  }
  AVRational r = av_guess_frame_rate(fmt_, st, nullptr);
  if (r.num > 0 && r.den > 0) fps_ = av_q2d(r);
  frames_ = st->nb_frames;
  if (fmt_->duration > 0) duration_ = fmt_->duration / double(AV_TIME_BASE);
  return true;
}

// Decodes the next frame into frame_; false at the end or on an error.
bool Source::decode(std::string* why) {
  for (;;) {
    int err = avcodec_receive_frame(dec_, frame_);
    if (err == 0) return true;
    if (err == AVERROR_EOF) return false;
    if (err != AVERROR(EAGAIN)) {
      *why = "cannot decode " + path_ + ": " + av_text(err);
      return false;
    }
    if (flushing_) return false;
    err = av_read_frame(fmt_, pkt_);
    if (err < 0) {
      flushing_ = true;
      avcodec_send_packet(dec_, nullptr);
      continue;
    }
    if (pkt_->stream_index == stream_) err = avcodec_send_packet(dec_, pkt_);
    av_packet_unref(pkt_);
    // A damaged packet is skipped; the decoder picks up at the next one.
    (void)err;
  }
}

void Source::fit(Size area, Fit fit, Canvas* out) {
  const Placement p = place(Size{frame_->width, frame_->height}, area, fit);
  sws_ = sws_getCachedContext(sws_, frame_->width, frame_->height,
                              static_cast<AVPixelFormat>(frame_->format), p.scaled.w, p.scaled.h,
                              AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr);
  blank(area, out);
  if (!sws_) return;
  // The panel shows NV12 by the full-range equations of JPEG files.
  int src_full = 0, dst_full = 0, bright = 0, contrast = 0, sat = 0;
  int *inv = nullptr, *tab = nullptr;
  sws_getColorspaceDetails(sws_, &inv, &src_full, &tab, &dst_full, &bright, &contrast, &sat);
  src_full = frame_->color_range == AVCOL_RANGE_JPEG || frame_->format == AV_PIX_FMT_YUVJ420P ||
             frame_->format == AV_PIX_FMT_YUVJ444P || frame_->format == AV_PIX_FMT_YUVJ422P;
  sws_setColorspaceDetails(sws_, sws_getCoefficients(SWS_CS_ITU601), src_full,
                           sws_getCoefficients(SWS_CS_ITU601), 1, bright, contrast, sat);
  Canvas scaled;
  blank(p.scaled, &scaled);
  uint8_t* dst[4] = {scaled.y.data(), scaled.u.data(), scaled.v.data(), nullptr};
  int strides[4] = {p.scaled.w, chroma(p.scaled.w), chroma(p.scaled.w), 0};
  sws_scale(sws_, frame_->data, frame_->linesize, 0, frame_->height, dst, strides);
  paste(scaled, p.x, p.y, out);
}

bool Source::next(Size area, Fit fit_mode, Canvas* out, std::string* why) {
  why->clear();
  if (!decode(why)) return false;
  fit(area, fit_mode, out);
  return true;
}

bool Source::rewind() {
  flushing_ = false;
  avcodec_flush_buffers(dec_);
  return av_seek_frame(fmt_, stream_,
                       fmt_->streams[stream_]->start_time == AV_NOPTS_VALUE
                           ? 0
                           : fmt_->streams[stream_]->start_time,
                       AVSEEK_FLAG_BACKWARD) >= 0 ||
         avformat_seek_file(fmt_, -1, INT64_MIN, 0, INT64_MAX, 0) >= 0;
}

Encoder::~Encoder() {
  av_packet_free(&pkt_);
  av_frame_free(&frame_);
  avcodec_free_context(&enc_);
}

bool Encoder::open(Size size, int fps, std::string* why) {
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (!codec) {
    *why = "this FFmpeg has no libx264 encoder";
    return false;
  }
  enc_ = avcodec_alloc_context3(codec);
  frame_ = av_frame_alloc();
  pkt_ = av_packet_alloc();
  if (!enc_ || !frame_ || !pkt_) {
    *why = "out of memory";
    return false;
  }
  enc_->width = size.w;
  enc_->height = size.h;
  enc_->pix_fmt = AV_PIX_FMT_YUV420P;
  enc_->color_range = AVCOL_RANGE_JPEG;
  enc_->time_base = AVRational{1, fps};
  enc_->framerate = AVRational{fps, 1};
  enc_->gop_size = std::max(1, fps * 2);
  enc_->max_b_frames = 0;
  // Baseline, one slice per picture, parameter sets before every key
  // picture (the device may join at any of them), picture sizes well within
  // the device's 1 MiB blocks.
  av_opt_set(enc_->priv_data, "profile", "baseline", 0);
  av_opt_set(enc_->priv_data, "preset", "superfast", 0);
  av_opt_set(enc_->priv_data, "crf", "23", 0);
  av_opt_set(enc_->priv_data, "x264-params",
             "slices=1:sliced-threads=0:repeat-headers=1:annexb=1:vbv-maxrate=40000:"
             "vbv-bufsize=6000",
             0);
  int err = avcodec_open2(enc_, codec, nullptr);
  if (err < 0) {
    *why = "cannot open the H.264 encoder: " + av_text(err);
    return false;
  }
  frame_->format = AV_PIX_FMT_YUV420P;
  frame_->width = size.w;
  frame_->height = size.h;
  frame_->color_range = AVCOL_RANGE_JPEG;
  if ((err = av_frame_get_buffer(frame_, 0)) < 0) {
    *why = "out of memory: " + av_text(err);
    return false;
  }
  return true;
}

bool Encoder::encode(const Canvas* c, int top, std::vector<std::vector<uint8_t>>* out,
                     std::string* why) {
  int err;
  if (c) {
    if ((err = av_frame_make_writable(frame_)) < 0) {
      *why = "encoder: " + av_text(err);
      return false;
    }
    for (int plane = 0; plane < 3; plane++) {
      const int w = plane ? chroma(c->size.w) : c->size.w;
      const int rows = plane ? chroma(enc_->height) : enc_->height;
      const int first = plane ? top / 2 : top;
      const auto& src = plane == 0 ? c->y : plane == 1 ? c->u : c->v;
      for (int r = 0; r < rows; r++)
        memcpy(frame_->data[plane] + size_t(r) * frame_->linesize[plane],
               &src[size_t(first + r) * w], size_t(w));
    }
    frame_->pts = pts_++;
  }
  err = avcodec_send_frame(enc_, c ? frame_ : nullptr);
  if (err < 0 && err != AVERROR_EOF) {
    *why = "encoder: " + av_text(err);
    return false;
  }
  while ((err = avcodec_receive_packet(enc_, pkt_)) == 0) {
    out->emplace_back(pkt_->data, pkt_->data + pkt_->size);
    av_packet_unref(pkt_);
  }
  if (err != AVERROR(EAGAIN) && err != AVERROR_EOF) {
    *why = "encoder: " + av_text(err);
    return false;
  }
  return true;
}

bool encode_jpeg(const Canvas& c, size_t max_bytes, std::vector<uint8_t>* out, std::string* why) {
  tjhandle tj = tjInitCompress();
  if (!tj) {
    *why = "cannot start the JPEG encoder";
    return false;
  }
  const unsigned char* planes[3] = {c.y.data(), c.u.data(), c.v.data()};
  const int strides[3] = {c.size.w, chroma(c.size.w), chroma(c.size.w)};
  bool ok = false;
  // Lower the quality until the picture fits the device's frame buffer.
  for (int q = 92; q >= 40 && !ok; q -= 13) {
    unsigned char* buf = nullptr;
    unsigned long len = 0;
    if (tjCompressFromYUVPlanes(tj, planes, c.size.w, strides, c.size.h, TJSAMP_420, &buf, &len, q,
                                0) != 0) {
      *why = std::string("JPEG encoder: ") + tjGetErrorStr2(tj);
      tjFree(buf);
      break;
    }
    if (len <= max_bytes) {
      out->assign(buf, buf + len);
      ok = true;
    }
    tjFree(buf);
  }
  tjDestroy(tj);
  if (!ok && why->empty()) *why = "the picture does not fit in a JPEG frame";
  return ok;
}

}  // namespace media
