// The hardware H.264 decoder, simulated with libavcodec.
//
// One codec context per instance, single-threaded and in low-delay mode, so
// that every coded picture handed in comes out at once, as from the board's
// stateless decoder. An instance belongs to one thread at a time. Errors:
// -1 with errno set (EBADMSG: no picture in the data, EINVAL: a picture the
// instance may not write, ENOMEM).
#include <cerrno>
#include <new>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
}
#include <libyuv/convert_from.h>

#include "platform/codec.h"

struct V4l2H264Decoder {
  AVCodecContext* ctx = nullptr;
  AVPacket* pkt = nullptr;
  AVFrame* frame = nullptr;
  int32_t max_width = 0;
  int32_t max_height = 0;
  bool have_info = false;
  uint32_t info[4] = {};
};

namespace {

void release(V4l2H264Decoder* h) {
  av_frame_free(&h->frame);
  av_packet_free(&h->pkt);
  avcodec_free_context(&h->ctx);
  delete h;
}

}  // namespace

V4l2H264Decoder* v4l2_h264_decoder_direct_open(const H264DecoderConfig* cfg) {
  // The board's decoder reports through its return values only.
  av_log_set_level(AV_LOG_QUIET);
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  if (!codec || !cfg || cfg->pix_fmt != kFourccNV12) {
    errno = EINVAL;
    return nullptr;
  }
  V4l2H264Decoder* h = new (std::nothrow) V4l2H264Decoder;
  if (!h) {
    errno = ENOMEM;
    return nullptr;
  }
  h->ctx = avcodec_alloc_context3(codec);
  h->pkt = av_packet_alloc();
  h->frame = av_frame_alloc();
  if (!h->ctx || !h->pkt || !h->frame) {
    release(h);
    errno = ENOMEM;
    return nullptr;
  }
  h->ctx->thread_count = 1;
  h->ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;
  // Damaged data is an error, as on the board, not a concealed picture.
  h->ctx->err_recognition = AV_EF_EXPLODE;
  if (avcodec_open2(h->ctx, codec, nullptr) < 0) {
    release(h);
    errno = EINVAL;
    return nullptr;
  }
  h->max_width = cfg->width;
  h->max_height = cfg->height;
  return h;
}

int v4l2_h264_decoder_direct_work(V4l2H264Decoder* h, const uint8_t* data, int32_t length,
                                  uint8_t* y_dest, uint8_t* uv_dest) {
  if (!h || !data || length <= 0 || !y_dest || !uv_dest) {
    errno = EINVAL;
    return -1;
  }
  // The packet refers to the caller's bytes; libavcodec copies what it keeps.
  av_packet_unref(h->pkt);
  h->pkt->data = const_cast<uint8_t*>(data);
  h->pkt->size = length;
  int rc = avcodec_send_packet(h->ctx, h->pkt);
  h->pkt->data = nullptr;
  h->pkt->size = 0;
  if (rc < 0 && rc != AVERROR(EAGAIN)) {
    errno = EBADMSG;
    return -1;
  }
  av_frame_unref(h->frame);
  rc = avcodec_receive_frame(h->ctx, h->frame);
  if (rc < 0) {
    errno = EBADMSG;
    return -1;
  }
  AVFrame* f = h->frame;
  if (f->decode_error_flags || (f->flags & AV_FRAME_FLAG_CORRUPT)) {
    errno = EBADMSG;
    return -1;
  }
  if (f->format != AV_PIX_FMT_YUV420P && f->format != AV_PIX_FMT_YUVJ420P) {
    errno = EINVAL;
    return -1;
  }
  // The destination rows hold kH264LineStride bytes; the instance was opened
  // for at most max_width x max_height.
  if (f->width <= 0 || f->height <= 0 || f->width > static_cast<int>(kH264LineStride) ||
      (h->max_width > 0 && f->width > h->max_width) ||
      (h->max_height > 0 && f->height > h->max_height)) {
    errno = EINVAL;
    return -1;
  }
  libyuv::I420ToNV12(f->data[0], f->linesize[0], f->data[1], f->linesize[1], f->data[2],
                     f->linesize[2], y_dest, kH264LineStride, uv_dest, kH264LineStride, f->width,
                     f->height);
  h->info[0] = kH264LineStride;
  h->info[1] = static_cast<uint32_t>(f->height);
  h->info[2] = static_cast<uint32_t>(f->width);
  h->info[3] = 0;
  h->have_info = true;
  return 0;
}

int v4l2_h264_decoder_get_frame_info(V4l2H264Decoder* h, uint32_t info[4]) {
  if (!h || !info || !h->have_info) {
    errno = EINVAL;
    return -1;
  }
  for (int i = 0; i < 4; ++i) info[i] = h->info[i];
  return 0;
}

void v4l2_h264_decoder_close(V4l2H264Decoder* h) {
  if (h) release(h);
}
