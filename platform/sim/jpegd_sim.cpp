// Simulated hardware JPEG decoder: TurboJPEG decodes, libyuv converts and
// scales into the caller's NV12 output memory.
//
// Threads: an instance belongs to the thread that opened it; instances share
// nothing, so several may decode at once.
// Errors: -1 (null from open). Corrupt, truncated or empty data, TurboJPEG
// warnings included, fail the decode instead of leaving a damaged picture.
#include <libyuv.h>
#include <turbojpeg.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "platform/jpegd.h"

namespace {

// The hardware aligns its output to 16 x 16 blocks.
constexpr uint32_t kAlign = 16;
// Largest picture decoded at all: a header that claims more is refused
// rather than allocated for.
constexpr uint64_t kMaxDecodePixels = 64ull * 1024 * 1024;

// Scratch kept between pictures: a few panel-size pictures' worth.
constexpr size_t kKeptScratch = 32u << 20;

uint64_t align16(uint64_t v) { return (v + kAlign - 1) / kAlign * kAlign; }

}  // namespace

struct JpegdDecoder {
  tjhandle tj = nullptr;
  uint8_t* out = nullptr;  // output memory (process address)
  uint64_t out_size = 0;
  uint32_t width = 0, height = 0;
  // Scratch planes, kept for the instance's life.
  std::vector<uint8_t> planes;  // decoded picture, native subsampling
  std::vector<uint8_t> i420;    // decoded picture as I420
  std::vector<uint8_t> scaled;  // I420 at the requested size
  std::vector<uint8_t> rgb;     // fallback route for unusual subsamplings
};

namespace {

struct I420 {
  uint8_t* y;
  uint8_t* u;
  uint8_t* v;
  int w, h, cw, ch;
};

// Lays an I420 picture of w x h into `buf` (resized as needed).
I420 i420_layout(std::vector<uint8_t>& buf, int w, int h) {
  int cw = (w + 1) / 2, ch = (h + 1) / 2;
  buf.resize(size_t(w) * h + 2 * size_t(cw) * ch);
  I420 p{buf.data(), nullptr, nullptr, w, h, cw, ch};
  p.u = p.y + size_t(w) * h;
  p.v = p.u + size_t(cw) * ch;
  return p;
}

// The smallest of TurboJPEG's DCT scaling factors (at most 1/1) whose result
// still covers the requested size, so libyuv only scales the remainder.
void choose_scale(int w, int h, int want_w, int want_h, int* sw, int* sh) {
  *sw = w;
  *sh = h;
  int n = 0;
  tjscalingfactor* f = tjGetScalingFactors(&n);
  if (!f) return;
  for (int i = 0; i < n; i++) {
    if (f[i].num > f[i].denom) continue;
    int tw = TJSCALED(w, f[i]), th = TJSCALED(h, f[i]);
    if (tw >= want_w && th >= want_h && uint64_t(tw) * th < uint64_t(*sw) * *sh) {
      *sw = tw;
      *sh = th;
    }
  }
}

int fail(JpegdDecoder* d, const char* what) {
  fprintf(stderr, "jpegd: %s: %s\n", what, tjGetErrorStr2(d->tj));
  return -1;
}

// 4:4:0, 4:1:1 and the like: through RGB, back to full-range YCbCr.
int decode_through_rgb(JpegdDecoder* d, const JpegdRequest* req, int sw, int sh, int flags,
                       I420* pic) {
  d->rgb.resize(size_t(sw) * sh * 3);
  if (tjDecompress2(d->tj, req->data, req->length, d->rgb.data(), sw, sw * 3, sh, TJPF_RGB,
                    flags) != 0)
    return fail(d, "decode");
  *pic = i420_layout(d->i420, sw, sh);
  return libyuv::RAWToJ420(d->rgb.data(), sw * 3, pic->y, sw, pic->u, pic->cw, pic->v, pic->cw, sw,
                           sh) == 0
             ? 0
             : -1;
}

// Converts decoded planes of the given subsampling into `pic`.
int planes_to_i420(int subsamp, unsigned char* const dst[3], const int strides[3], int sw, int sh,
                   I420* pic) {
  int r = -1;
  switch (subsamp) {
    case TJSAMP_420:
      r = libyuv::I420Copy(dst[0], strides[0], dst[1], strides[1], dst[2], strides[2], pic->y, sw,
                           pic->u, pic->cw, pic->v, pic->cw, sw, sh);
      break;
    case TJSAMP_422:
      r = libyuv::I422ToI420(dst[0], strides[0], dst[1], strides[1], dst[2], strides[2], pic->y, sw,
                             pic->u, pic->cw, pic->v, pic->cw, sw, sh);
      break;
    case TJSAMP_444:
      r = libyuv::I444ToI420(dst[0], strides[0], dst[1], strides[1], dst[2], strides[2], pic->y, sw,
                             pic->u, pic->cw, pic->v, pic->cw, sw, sh);
      break;
    case TJSAMP_GRAY:
      r = libyuv::I400ToI420(dst[0], strides[0], pic->y, sw, pic->u, pic->cw, pic->v, pic->cw, sw,
                             sh);
      break;
  }
  return r == 0 ? 0 : -1;
}

// Decodes into an I420 picture at the scaled size. The fast case (4:2:0 at
// exactly the requested size) writes luma straight into the output.
int decode_i420(JpegdDecoder* d, const JpegdRequest* req, int sw, int sh, int subsamp,
                int colorspace, I420* pic, bool direct_luma, uint32_t pitch) {
  const int flags = TJFLAG_STOPONWARNING | TJFLAG_LIMITSCANS;
  const bool planar = colorspace != TJCS_CMYK && colorspace != TJCS_YCCK &&
                      (subsamp == TJSAMP_420 || subsamp == TJSAMP_422 || subsamp == TJSAMP_444 ||
                       subsamp == TJSAMP_GRAY);
  if (!planar) return decode_through_rgb(d, req, sw, sh, flags, pic);

  int nplanes = subsamp == TJSAMP_GRAY ? 1 : 3;
  int pw[3], ph[3], strides[3];
  size_t total = 0;
  for (int i = 0; i < nplanes; i++) {
    pw[i] = tjPlaneWidth(i, sw, subsamp);
    ph[i] = tjPlaneHeight(i, sh, subsamp);
    if (pw[i] <= 0 || ph[i] <= 0) return fail(d, "plane size");
    strides[i] = pw[i];
    // Luma written straight to the output needs no scratch.
    if (i > 0 || !direct_luma) total += size_t(pw[i]) * ph[i];
  }
  // Grown only, never shrunk: the scratch is kept from picture to picture.
  if (d->planes.size() < total) d->planes.resize(total);
  unsigned char* dst[3] = {d->planes.data(), nullptr, nullptr};
  if (direct_luma) {
    // Luma lands in the output at its pitch; only chroma goes to scratch.
    dst[0] = d->out;
    strides[0] = int(pitch);
    if (nplanes > 1) dst[1] = d->planes.data();
    if (nplanes > 2) dst[2] = dst[1] + size_t(pw[1]) * ph[1];
  } else {
    for (int i = 1; i < nplanes; i++) dst[i] = dst[i - 1] + size_t(pw[i - 1]) * ph[i - 1];
  }
  if (tjDecompressToYUVPlanes(d->tj, req->data, req->length, dst, sw, strides, sh, flags) != 0)
    return fail(d, "decode");

  if (direct_luma) {
    pic->y = d->out;
    pic->u = dst[1];
    pic->v = dst[2];
    pic->w = sw;
    pic->h = sh;
    pic->cw = pw[1];
    pic->ch = ph[1];
    return 0;
  }
  *pic = i420_layout(d->i420, sw, sh);
  return planes_to_i420(subsamp, dst, strides, sw, sh, pic);
}

// Like the hardware, which keeps its state and working memory from one
// picture to the next, a closed instance is kept for the next open: the
// daemon opens one per picture, and a fresh TurboJPEG handle and scratch
// planes (page faults on megabytes) cost several per cent of a decode.
std::mutex g_spare_lock;
JpegdDecoder* g_spare = nullptr;

}  // namespace

JpegdDecoder* jpegd_decoder_open() {
  {
    std::lock_guard<std::mutex> lock(g_spare_lock);
    if (JpegdDecoder* d = g_spare) {
      g_spare = nullptr;
      return d;
    }
  }
  JpegdDecoder* d = new (std::nothrow) JpegdDecoder;
  if (!d) return nullptr;
  d->tj = tjInitDecompress();
  if (!d->tj) {
    delete d;
    return nullptr;
  }
  return d;
}

int jpegd_decoder_set_output_mem(JpegdDecoder* h, const JpegdRequest* request, void* vaddr,
                                 uint32_t paddr, uint32_t size) {
  if (!h || !request || !vaddr || paddr == 0) return -1;
  if (request->format != JPEGD_FORMAT_NV12 || request->width == 0 || request->height == 0)
    return -1;
  uint64_t need = align16(request->width) * align16(request->height) * 3 / 2;
  if (need > size) return -1;
  h->out = static_cast<uint8_t*>(vaddr);
  h->out_size = size;
  h->width = request->width;
  h->height = request->height;
  return 0;
}

int jpegd_decoder_get(JpegdDecoder* h, const JpegdRequest* request, JpegdFrame* frame) {
  if (!h || !request || !frame || !h->out) return -1;
  if (request->width != h->width || request->height != h->height) return -1;
  if (!request->data || request->length == 0) return -1;

  int w = 0, h_px = 0, subsamp = 0, colorspace = 0;
  if (tjDecompressHeader3(h->tj, request->data, request->length, &w, &h_px, &subsamp,
                          &colorspace) != 0)
    return fail(h, "header");
  if (w <= 0 || h_px <= 0) return -1;

  const int want_w = int(h->width), want_h = int(h->height);
  const uint32_t pitch = uint32_t(align16(h->width));
  const uint32_t lines = uint32_t(align16(h->height));
  uint8_t* out_uv = h->out + size_t(pitch) * lines;

  if (uint64_t(w) * h_px > kMaxDecodePixels) {
    fprintf(stderr, "jpegd: picture of %dx%d is too large\n", w, h_px);
    return -1;
  }
  int sw = w, sh = h_px;
  choose_scale(w, h_px, want_w, want_h, &sw, &sh);

  const bool exact = sw == want_w && sh == want_h;
  const bool direct =
      exact && subsamp == TJSAMP_420 && colorspace != TJCS_CMYK && colorspace != TJCS_YCCK;
  I420 pic{};
  if (decode_i420(h, request, sw, sh, subsamp, colorspace, &pic, direct, pitch) != 0) return -1;

  if (direct) {
    libyuv::MergeUVPlane(pic.u, pic.cw, pic.v, pic.cw, out_uv, int(pitch), pic.cw, pic.ch);
  } else {
    I420 src = pic;
    if (!exact) {
      I420 dst = i420_layout(h->scaled, want_w, want_h);
      if (libyuv::I420Scale(src.y, src.w, src.u, src.cw, src.v, src.cw, src.w, src.h, dst.y, dst.w,
                            dst.u, dst.cw, dst.v, dst.cw, dst.w, dst.h, libyuv::kFilterBox) != 0)
        return -1;
      src = dst;
    }
    if (libyuv::I420ToNV12(src.y, src.w, src.u, src.cw, src.v, src.cw, h->out, int(pitch), out_uv,
                           int(pitch), want_w, want_h) != 0)
      return -1;
  }

  memset(frame->words, 0, sizeof frame->words);
  frame->words[0] = h->width;
  frame->words[1] = h->height;
  frame->words[2] = pitch;
  frame->words[3] = lines;
  return 0;
}

int jpegd_decoder_put(JpegdDecoder* h, JpegdFrame* frame) {
  if (!h || !frame) return -1;
  return 0;
}

int jpegd_decoder_close(JpegdDecoder* h) {
  if (!h) return -1;
  // The next instance must not write where this one was told to.
  h->out = nullptr;
  h->out_size = 0;
  h->width = h->height = 0;
  // Scratch for a picture far beyond the panel's size is not kept.
  if (h->planes.capacity() + h->i420.capacity() + h->scaled.capacity() + h->rgb.capacity() >
      kKeptScratch) {
    for (std::vector<uint8_t>* v : {&h->planes, &h->i420, &h->scaled, &h->rgb}) {
      v->clear();
      v->shrink_to_fit();
    }
  }
  {
    std::lock_guard<std::mutex> lock(g_spare_lock);
    if (!g_spare) {
      g_spare = h;
      return 0;
    }
  }
  tjDestroy(h->tj);
  delete h;
  return 0;
}
