// The hardware H.264 decoder, simulated with libavcodec.
//
// One codec context per instance, single-threaded and in low-delay mode, so
// that every coded picture handed in comes out at once, as from the board's
// stateless decoder. An instance belongs to one thread at a time. Errors:
// -1 with errno set (EBADMSG: no picture in the data, EINVAL: a picture the
// instance may not write, ENOMEM).
#include <cerrno>
#include <cstring>
#include <new>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}
#include <libyuv/convert_from.h>

#include "platform/codec.h"

struct V4l2H264Decoder {
  AVCodecContext* ctx = nullptr;
  AVPacket* pkt = nullptr;
  AVFrame* frame = nullptr;
  // The caller's units copied behind zeroed padding: libavcodec's bit
  // readers may read a little past the end of the data.
  uint8_t* in = nullptr;
  unsigned in_size = 0;
  int32_t max_width = 0;
  int32_t max_height = 0;
  // Where the picture being decoded goes, and how many of its rows are
  // there already: rows are converted band by band as the decoder finishes
  // them, while they are still in the cache.
  uint8_t* band_y = nullptr;
  uint8_t* band_uv = nullptr;
  const uint8_t* band_src = nullptr;
  int band_rows = 0;
  bool have_info = false;
  uint32_t info[4] = {};
};

namespace {

void release(V4l2H264Decoder* h) {
  av_freep(&h->in);
  av_frame_free(&h->frame);
  av_packet_free(&h->pkt);
  avcodec_free_context(&h->ctx);
  delete h;
}

bool planar420(int format) { return format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUVJ420P; }

// A picture of w x h may be written: rows hold kH264LineStride bytes and the
// instance was opened for at most max_width x max_height.
bool fits(const V4l2H264Decoder* h, int w, int ht) {
  return w > 0 && ht > 0 && w <= static_cast<int>(kH264LineStride) &&
         (h->max_width <= 0 || w <= h->max_width) && (h->max_height <= 0 || ht <= h->max_height);
}

void convert_rows(const uint8_t* const src[3], const int stride[3], uint8_t* y_dest,
                  uint8_t* uv_dest, int width, int first, int rows) {
  libyuv::I420ToNV12(src[0] + static_cast<ptrdiff_t>(first) * stride[0], stride[0],
                     src[1] + static_cast<ptrdiff_t>(first / 2) * stride[1], stride[1],
                     src[2] + static_cast<ptrdiff_t>(first / 2) * stride[2], stride[2],
                     y_dest + static_cast<size_t>(first) * kH264LineStride, kH264LineStride,
                     uv_dest + static_cast<size_t>(first / 2) * kH264LineStride, kH264LineStride,
                     width, rows);
}

// libavcodec's report of finished rows of the picture being decoded. Only
// bands that continue the rows written so far, from an even row, are taken;
// whatever is left is converted once the picture is complete.
void draw_band(AVCodecContext* ctx, const AVFrame* src, int offset[AV_NUM_DATA_POINTERS], int y,
               int, int height) {
  auto* h = static_cast<V4l2H264Decoder*>(ctx->opaque);
  if (!h || !h->band_y || y != h->band_rows || (y & 1) || height <= 0) return;
  if (!planar420(src->format) || src->crop_top != 0 || src->crop_left != 0 ||
      !fits(h, ctx->width, ctx->height) || y >= ctx->height)
    return;
  if (h->band_src && h->band_src != src->data[0]) return;
  if (y + height > ctx->height) height = ctx->height - y;
  if ((height & 1) && y + height != ctx->height) return;
  const uint8_t* planes[3] = {
      src->data[0] + offset[0] - static_cast<ptrdiff_t>(y) * src->linesize[0],
      src->data[1] + offset[1] - static_cast<ptrdiff_t>(y / 2) * src->linesize[1],
      src->data[2] + offset[2] - static_cast<ptrdiff_t>(y / 2) * src->linesize[2]};
  convert_rows(planes, src->linesize, h->band_y, h->band_uv, ctx->width, y, height);
  h->band_src = src->data[0];
  h->band_rows = y + height;
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
  h->ctx->opaque = h;
  h->ctx->draw_horiz_band = draw_band;
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
  av_fast_padded_malloc(&h->in, &h->in_size, static_cast<size_t>(length));
  if (!h->in) {
    errno = ENOMEM;
    return -1;
  }
  memcpy(h->in, data, static_cast<size_t>(length));
  // The packet refers to our copy; libavcodec copies what it keeps.
  av_packet_unref(h->pkt);
  h->pkt->data = h->in;
  h->pkt->size = length;
  h->band_y = y_dest;
  h->band_uv = uv_dest;
  h->band_src = nullptr;
  h->band_rows = 0;
  int rc = avcodec_send_packet(h->ctx, h->pkt);
  h->band_y = h->band_uv = nullptr;
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
  if (!planar420(f->format) || !fits(h, f->width, f->height)) {
    errno = EINVAL;
    return -1;
  }
  // Rows already written band by band belong to this very picture, or all
  // are written again.
  int done = h->band_src == f->data[0] ? h->band_rows : 0;
  if (done < f->height) {
    const uint8_t* planes[3] = {f->data[0], f->data[1], f->data[2]};
    convert_rows(planes, f->linesize, y_dest, uv_dest, f->width, done, f->height - done);
  }
  h->info[0] = kH264LineStride;
  h->info[1] = static_cast<uint32_t>(f->height);
  h->info[2] = static_cast<uint32_t>(f->width);
  h->info[3] = 0;
  h->have_info = true;
  return 0;
}

int v4l2_h264_decoder_get_frame_info(V4l2H264Decoder* h, H264FrameInfo* info) {
  if (!h || !info || !h->have_info) {
    errno = EINVAL;
    return -1;
  }
  for (int i = 0; i < 4; ++i) info->dec_info[i] = h->info[i];
  return 0;
}

void v4l2_h264_decoder_close(V4l2H264Decoder* h) {
  if (h) release(h);
}
