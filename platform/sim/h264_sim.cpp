// The hardware H.264 decoder, simulated with libavcodec.
//
// One codec context per instance, single-threaded and in low-delay mode, so
// that every coded picture handed in comes out at once, as from the board's
// stateless decoder. An instance belongs to one thread at a time. The
// board's decoder writes NV12 itself; here libavcodec's planar rows are
// turned into NV12 by a converter thread of the instance, band by band
// while the rows below are still being decoded, so that the caller's thread
// spends its time decoding only. work() returns once the whole picture is
// written. Errors: -1 with errno set (EBADMSG: no picture in the data,
// EINVAL: a picture the instance may not write, ENOMEM).
#include <pthread.h>

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
#include "platform/sim/fail.h"

// Converts rows of one picture on a thread of its own. The decoding thread
// publishes how many rows are final (`ready`); the converter catches up to
// it (`done`). Falls back to converting on the caller's thread when the
// thread cannot be had.
struct RowConverter {
  pthread_t thread{};
  bool started = false;
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t wake = PTHREAD_COND_INITIALIZER;    // more rows, or quit
  pthread_cond_t caught = PTHREAD_COND_INITIALIZER;  // done reached ready
  // The picture being converted (set while no rows are outstanding).
  const uint8_t* src[3] = {};
  int stride[3] = {};
  uint8_t* y = nullptr;
  uint8_t* uv = nullptr;
  int width = 0;
  int ready = 0;  // rows [0, ready) may be converted
  int done = 0;   // rows [0, done) are converted
  bool quit = false;
};

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
  int band_published = 0;  // rows handed to the converter
  bool have_info = false;
  uint32_t info[4] = {};
  RowConverter conv;
};

namespace {

void* converter_main(void* arg);

void stop_converter(RowConverter& c) {
  if (!c.started) return;
  pthread_mutex_lock(&c.lock);
  c.quit = true;
  pthread_cond_signal(&c.wake);
  pthread_mutex_unlock(&c.lock);
  pthread_join(c.thread, nullptr);
  c.started = false;
}

void release(V4l2H264Decoder* h) {
  stop_converter(h->conv);
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

void* converter_main(void* arg) {
  RowConverter& c = *static_cast<RowConverter*>(arg);
  pthread_mutex_lock(&c.lock);
  for (;;) {
    while (!c.quit && c.done >= c.ready) pthread_cond_wait(&c.wake, &c.lock);
    if (c.quit) break;
    const int first = c.done, last = c.ready;
    const uint8_t* const src[3] = {c.src[0], c.src[1], c.src[2]};
    const int stride[3] = {c.stride[0], c.stride[1], c.stride[2]};
    uint8_t* const y = c.y;
    uint8_t* const uv = c.uv;
    const int width = c.width;
    pthread_mutex_unlock(&c.lock);
    convert_rows(src, stride, y, uv, width, first, last - first);
    pthread_mutex_lock(&c.lock);
    c.done = last;
    if (c.done >= c.ready) pthread_cond_signal(&c.caught);
  }
  pthread_mutex_unlock(&c.lock);
  return nullptr;
}

// Hands rows [0, rows) of the picture to the converter. A thread that
// cannot be started leaves the rows to finish_rows().
void publish_rows(V4l2H264Decoder* h, const uint8_t* const src[3], const int stride[3], int width,
                  int rows) {
  RowConverter& c = h->conv;
  if (!c.started) {
    c.quit = false;
    c.ready = c.done = 0;
    if (pthread_create(&c.thread, nullptr, converter_main, &c) != 0) return;
    c.started = true;
  }
  pthread_mutex_lock(&c.lock);
  if (c.ready == 0) {
    for (int i = 0; i < 3; ++i) {
      c.src[i] = src[i];
      c.stride[i] = stride[i];
    }
    c.y = h->band_y;
    c.uv = h->band_uv;
    c.width = width;
  }
  c.ready = rows;
  pthread_cond_signal(&c.wake);
  pthread_mutex_unlock(&c.lock);
  h->band_published = rows;
}

// Waits until the converter has written every row handed to it and makes
// it ready for the next picture; returns how many rows it wrote.
int finish_rows(V4l2H264Decoder* h) {
  RowConverter& c = h->conv;
  if (!c.started) return 0;
  pthread_mutex_lock(&c.lock);
  while (c.done < c.ready) pthread_cond_wait(&c.caught, &c.lock);
  const int rows = c.done;
  c.ready = c.done = 0;
  pthread_mutex_unlock(&c.lock);
  h->band_published = 0;
  return rows;
}

// Rows are handed over in batches of at least this many. Each hand-over
// wakes the converter (it is faster than the decoder, so it always waits),
// and a wake-up is a system call plus a cross-core interrupt taken on the
// decoding thread. On a 2288-row picture, pipeline / decoder alone went
// from 0.90-0.93 with 128-row batches to 0.93-0.97 with 512 and 0.96-0.98
// with 1024 (two wake-ups a picture); what lies below the last batch is
// converted once the picture is complete.
constexpr int kBatchRows = 1024;

// libavcodec's report of finished rows of the picture being decoded. Only
// bands that continue the rows written so far, from an even row, are taken;
// whatever is left is converted once the picture is complete.
// NOLINTNEXTLINE(readability-non-const-parameter): libavcodec's callback type
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
  h->band_src = src->data[0];
  h->band_rows = y + height;
  // Rows are published from row 0 with the plane addresses of row 0.
  if (h->band_rows - h->band_published >= kBatchRows && !(h->band_rows & 1))
    publish_rows(h, planes, src->linesize, ctx->width, h->band_rows);
}

}  // namespace

V4l2H264Decoder* v4l2_h264_decoder_direct_open(const H264DecoderConfig* cfg) {
  // The board's decoder reports through its return values only.
  av_log_set_level(AV_LOG_QUIET);
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  if (!codec || !cfg || cfg->pix_fmt != kFourccNV12) return fail_with(EINVAL, nullptr);
  V4l2H264Decoder* h = new (std::nothrow) V4l2H264Decoder;
  if (!h) return fail_with(ENOMEM, nullptr);
  h->ctx = avcodec_alloc_context3(codec);
  h->pkt = av_packet_alloc();
  h->frame = av_frame_alloc();
  if (!h->ctx || !h->pkt || !h->frame) {
    release(h);
    return fail_with(ENOMEM, nullptr);
  }
  h->ctx->thread_count = 1;
  h->ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;
  // Damaged data is an error, as on the board, not a concealed picture.
  h->ctx->err_recognition = AV_EF_EXPLODE;
  h->ctx->opaque = h;
  h->ctx->draw_horiz_band = draw_band;
  if (avcodec_open2(h->ctx, codec, nullptr) < 0) {
    release(h);
    return fail_with(EINVAL, nullptr);
  }
  h->max_width = cfg->width;
  h->max_height = cfg->height;
  return h;
}

int v4l2_h264_decoder_direct_work(V4l2H264Decoder* h, const uint8_t* data, int32_t length,
                                  uint8_t* y_dest, uint8_t* uv_dest) {
  if (!h || !data || length <= 0 || !y_dest || !uv_dest) return fail_with(EINVAL, -1);
  av_fast_padded_malloc(&h->in, &h->in_size, static_cast<size_t>(length));
  if (!h->in) return fail_with(ENOMEM, -1);
  memcpy(h->in, data, static_cast<size_t>(length));
  // The packet refers to our copy; libavcodec copies what it keeps.
  av_packet_unref(h->pkt);
  h->pkt->data = h->in;
  h->pkt->size = length;
  h->band_y = y_dest;
  h->band_uv = uv_dest;
  h->band_src = nullptr;
  h->band_rows = 0;
  h->band_published = 0;
  int rc = avcodec_send_packet(h->ctx, h->pkt);
  // Nothing may still write into the caller's memory once this returns.
  const int converted = finish_rows(h);
  h->band_y = h->band_uv = nullptr;
  h->pkt->data = nullptr;
  h->pkt->size = 0;
  if (rc < 0 && rc != AVERROR(EAGAIN)) return fail_with(EBADMSG, -1);
  av_frame_unref(h->frame);
  rc = avcodec_receive_frame(h->ctx, h->frame);
  if (rc < 0) return fail_with(EBADMSG, -1);
  AVFrame* f = h->frame;
  if (f->decode_error_flags || (f->flags & AV_FRAME_FLAG_CORRUPT)) return fail_with(EBADMSG, -1);
  if (!planar420(f->format) || !fits(h, f->width, f->height)) return fail_with(EINVAL, -1);
  // Rows already written band by band belong to this very picture, or all
  // are written again.
  int done = h->band_src == f->data[0] ? converted : 0;
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
  if (!h || !info || !h->have_info) return fail_with(EINVAL, -1);
  for (int i = 0; i < 4; ++i) info->dec_info[i] = h->info[i];
  return 0;
}

void v4l2_h264_decoder_close(V4l2H264Decoder* h) {
  if (h) release(h);
}
