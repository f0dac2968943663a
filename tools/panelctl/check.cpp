// Media checks before sending: signatures, a trial decode of pictures with
// the same libraries the device's decoders behave like, and the H.264
// parameter sets and slice headers read with a bounds-checked bit reader.
#include "tools/panelctl/check.h"

#include <png.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace check {

namespace {

// The device's JPEG decoder refuses larger pictures outright.
constexpr uint64_t kMaxJpegPixels = 64ull * 1024 * 1024;
// PNG pictures above this are only checked as far as their header: a full
// trial decode would take more memory than the tool should.
constexpr uint64_t kMaxPngTrialPixels = 16ull * 1024 * 1024;
// The decoder's line stride: no picture is wider.
constexpr int kStride = 1088;
// Rows of the frame buffer: where each band of a banded stream begins.
constexpr int kFrameRows = 2560;
constexpr int kBandTop[3][3] = {{0, 0, 0}, {0, 1408, 0}, {0, 768, 1536}};
constexpr int kBandHeight[3] = {0, 880, 752};  // bands 1 and 2; band 0: the area

bool starts(const uint8_t* p, size_t n, const char* sig, size_t len, size_t at = 0) {
  return n >= at + len && memcmp(p + at, sig, len) == 0;
}

bool find_text(const uint8_t* p, size_t n, const char* text) {
  const size_t len = strlen(text);
  if (n < len) return false;
  for (size_t i = 0; i + len <= n; i++)
    if (memcmp(p + i, text, len) == 0) return true;
  return false;
}

bool is_container(const std::string& kind) {
  return kind == "MP4" || kind == "Matroska" || kind == "WebM" || kind == "AVI" ||
         kind == "MPEG-TS";
}

std::string with_article(const std::string& kind) {
  return (kind == "MP4" || kind == "MPEG-TS" || kind == "AVI" ? "an " : "a ") + kind;
}

// "a PNG picture", "an MP4 container", "a text file"...
std::string what_it_is(const std::string& kind) {
  if (kind.empty()) return "";
  return with_article(kind) + (is_container(kind) ? " container" : " picture");
}

// The reason a file is not of the kind wanted, with the subcommand to use.
std::string wrong_kind(const std::string& name, const uint8_t* p, size_t n, const char* wanted,
                       const char* signature) {
  const std::string kind = kind_of(p, n);
  if (kind == "JPEG")
    return name + " is a JPEG picture, not " + wanted + ": use `panelctl jpeg " + name + "`";
  if (kind == "PNG")
    return name + " is a PNG picture, not " + wanted + ": use `panelctl png-full " + name +
           "` (overlay) or `panelctl play " + name + "`";
  if (kind == "H.264")
    return name + " is an H.264 stream, not " + wanted + ": use `panelctl stream " + name + "`";
  if (!kind.empty())
    return name + " is " + what_it_is(kind) + ", not " + wanted + ": use `panelctl play " + name +
           "`";
  return name + " is not " + wanted + " (it does not begin with " + signature +
         "): convert it, or use `panelctl play` for other media";
}

// Bits of one NAL unit's payload, emulation-prevention bytes removed. Reads
// past the end give zeros and mark the reader bad.
class Bits {
 public:
  Bits(const uint8_t* p, size_t n) {
    const size_t keep = std::min<size_t>(n, 4096);  // headers are short
    buf_.reserve(keep);
    int zeros = 0;
    for (size_t i = 0; i < n && buf_.size() < keep; i++) {
      if (zeros >= 2 && p[i] == 3) {
        zeros = 0;
        continue;
      }
      zeros = p[i] == 0 ? zeros + 1 : 0;
      buf_.push_back(p[i]);
    }
  }
  uint32_t u(int k) {
    uint32_t v = 0;
    for (int i = 0; i < k; i++) {
      if (pos_ >= buf_.size() * 8) {
        bad_ = true;
        return 0;
      }
      v = (v << 1) | ((buf_[pos_ >> 3] >> (7 - (pos_ & 7))) & 1u);
      pos_++;
    }
    return v;
  }
  // Exp-Golomb codes of up to 32 bits.
  uint32_t ue() {
    int zeros = 0;
    while (u(1) == 0) {
      if (bad_ || ++zeros > 31) {
        bad_ = true;
        return 0;
      }
    }
    return zeros ? ((1u << zeros) - 1) + u(zeros) : 0;
  }
  int64_t se() {
    const uint32_t k = ue();
    return k & 1 ? int64_t(k / 2) + 1 : -int64_t(k / 2);
  }
  bool bad() const { return bad_; }

 private:
  std::vector<uint8_t> buf_;
  size_t pos_ = 0;
  bool bad_ = false;
};

void skip_scaling_list(Bits& b, int size) {
  int64_t last = 8, next = 8;
  for (int j = 0; j < size && !b.bad(); j++) {
    if (next != 0) next = ((last + b.se()) % 256 + 256) % 256;
    if (next != 0) last = next;
  }
}

bool high_profile(uint32_t profile) {
  switch (profile) {
    case 100:
    case 110:
    case 122:
    case 244:
    case 44:
    case 83:
    case 86:
    case 118:
    case 128:
    case 138:
    case 139:
    case 134:
    case 135:
      return true;
    default:
      return false;
  }
}

// The high profiles' fields of a sequence parameter set: chroma format and
// the larger bit depth. False when damaged.
bool read_high_fields(Bits& b, uint32_t* chroma, uint32_t* depth) {
  *chroma = b.ue();
  if (*chroma > 3) return false;
  if (*chroma == 3) b.u(1);
  *depth = b.ue() + 8;
  const uint32_t depth_chroma = b.ue() + 8;
  *depth = std::max(*depth, depth_chroma);
  b.u(1);
  if (b.u(1)) {
    for (int i = 0; i < (*chroma == 3 ? 12 : 8); i++)
      if (b.u(1)) skip_scaling_list(b, i < 6 ? 16 : 64);
  }
  return true;
}

// The picture order count fields. False when damaged.
bool skip_picture_order(Bits& b) {
  const uint32_t poc_type = b.ue();
  if (poc_type == 0) {
    b.ue();
  } else if (poc_type == 1) {
    b.u(1);
    b.se();
    b.se();
    const uint32_t cycle = b.ue();
    if (cycle > 255) return false;
    for (uint32_t i = 0; i < cycle; i++) b.se();
  } else if (poc_type > 2) {
    return false;
  }
  return true;
}

// A sequence parameter set (after the NAL header byte). False when damaged.
bool read_sps(const uint8_t* p, size_t n, H264Info* info) {
  Bits b(p, n);
  const uint32_t profile = b.u(8);
  const uint32_t constraints = b.u(8);
  b.u(8);  // level
  if (b.ue() > 31) return false;
  uint32_t chroma = 1, depth = 8;
  if (high_profile(profile) && !read_high_fields(b, &chroma, &depth)) return false;
  b.ue();  // log2_max_frame_num - 4
  if (!skip_picture_order(b)) return false;
  b.ue();  // max_num_ref_frames
  b.u(1);
  const int64_t mbs_w = int64_t(b.ue()) + 1, map_h = int64_t(b.ue()) + 1;
  const uint32_t frame_mbs_only = b.u(1);
  if (!frame_mbs_only) b.u(1);
  b.u(1);  // direct_8x8_inference
  int64_t crop[4] = {0, 0, 0, 0};
  if (b.u(1))
    for (int64_t& c : crop) c = b.ue();
  if (b.bad()) return false;
  const int64_t sub_w = chroma == 1 || chroma == 2 ? 2 : 1;
  const int64_t sub_h = chroma == 1 ? 2 : 1;
  const int64_t unit_x = chroma == 0 ? 1 : sub_w;
  const int64_t unit_y = (chroma == 0 ? 1 : sub_h) * (2 - frame_mbs_only);
  const int64_t w = mbs_w * 16 - unit_x * (crop[0] + crop[1]);
  const int64_t h = map_h * 16 * (2 - frame_mbs_only) - unit_y * (crop[2] + crop[3]);
  if (w <= 0 || h <= 0 || w > 65536 || h > 65536) return false;
  if (info->sps_count == 0) info->profile = int(profile);
  info->sps_count++;
  // Baseline itself, or a stream that keeps to its constraints.
  const bool baseline = profile == 66 || (constraints & 0x80) != 0;
  info->baseline = (info->sps_count == 1 || info->baseline) && baseline;
  info->chroma_format = int(chroma);
  info->bit_depth = std::max(info->bit_depth, int(depth));
  info->width = std::max(info->width, int(w));
  info->height = std::max(info->height, int(h));
  return true;
}

std::string profile_name(int profile) {
  switch (profile) {
    case 66:
      return "Baseline";
    case 77:
      return "Main";
    case 88:
      return "Extended";
    case 100:
      return "High";
    case 110:
      return "High 10";
    case 122:
      return "High 4:2:2";
    case 244:
      return "High 4:4:4";
    default:
      return "profile " + std::to_string(profile);
  }
}

}  // namespace

std::string kind_of(const uint8_t* p, size_t n) {
  if (starts(p, n, "\xFF\xD8\xFF", 3)) return "JPEG";
  if (starts(p, n, "\x89PNG\r\n\x1A\n", 8)) return "PNG";
  if (starts(p, n, "GIF87a", 6) || starts(p, n, "GIF89a", 6)) return "GIF";
  if (starts(p, n, "ftyp", 4, 4)) return "MP4";
  if (starts(p, n, "\x1A\x45\xDF\xA3", 4))
    return find_text(p, std::min<size_t>(n, 64), "webm") ? "WebM" : "Matroska";
  if (starts(p, n, "RIFF", 4) && starts(p, n, "AVI ", 4, 8)) return "AVI";
  if (starts(p, n, "RIFF", 4) && starts(p, n, "WEBP", 4, 8)) return "WebP";
  if (starts(p, n, "BM", 2) && n >= 26) return "BMP";
  if (n >= 377 && p[0] == 0x47 && p[188] == 0x47 && p[376] == 0x47) return "MPEG-TS";
  if (starts(p, n, "\0\0\1", 3) || starts(p, n, "\0\0\0\1", 4)) return "H.264";
  return "";
}

bool jpeg(const std::string& name, const std::vector<uint8_t>& data, std::string* why) {
  if (kind_of(data.data(), data.size()) != "JPEG") {
    *why = wrong_kind(name, data.data(), data.size(), "a JPEG file", "FF D8 FF");
    return false;
  }
  std::unique_ptr<void, int (*)(tjhandle)> tj(tjInitDecompress(), tjDestroy);
  if (!tj) {
    *why = "cannot start the JPEG decoder";
    return false;
  }
  int w = 0, h = 0, subsamp = 0, colorspace = 0;
  if (tjDecompressHeader3(tj.get(), data.data(), static_cast<unsigned long>(data.size()), &w, &h,
                          &subsamp, &colorspace) != 0 ||
      w <= 0 || h <= 0) {
    *why = name + " is not a readable JPEG (" + tjGetErrorStr2(tj.get()) +
           "): the device would not show it";
    return false;
  }
  if (uint64_t(w) * uint64_t(h) > kMaxJpegPixels) {
    *why = name + " is " + std::to_string(w) + "x" + std::to_string(h) +
           ", more than the device decodes (64 megapixels): scale it down";
    return false;
  }
  // The smallest scale the decoder offers still reads every coded byte.
  int count = 0;
  tjscalingfactor* f = tjGetScalingFactors(&count);
  tjscalingfactor smallest{1, 1};
  for (int i = 0; f && i < count; i++)
    if (f[i].num * smallest.denom < smallest.num * f[i].denom) smallest = f[i];
  const int sw = TJSCALED(w, smallest), sh = TJSCALED(h, smallest);
  std::vector<uint8_t> rgb(size_t(sw) * size_t(sh) * 3);
  if (tjDecompress2(tj.get(), data.data(), static_cast<unsigned long>(data.size()), rgb.data(), sw,
                    0, sh, TJPF_RGB, TJFLAG_STOPONWARNING | TJFLAG_LIMITSCANS) != 0) {
    *why = name + " is a damaged JPEG (" + tjGetErrorStr2(tj.get()) +
           "): the device would not show it";
    return false;
  }
  return true;
}

bool png(const std::string& name, const std::vector<uint8_t>& data, std::string* why) {
  if (kind_of(data.data(), data.size()) != "PNG") {
    *why = wrong_kind(name, data.data(), data.size(), "a PNG file", "89 50 4E 47");
    return false;
  }
  png_image img;
  memset(&img, 0, sizeof img);
  img.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&img, data.data(), data.size())) {
    *why = name + " is a damaged PNG (" + img.message + "): the device would not show it";
    png_image_free(&img);
    return false;
  }
  if (uint64_t(img.width) * img.height > kMaxPngTrialPixels) {
    png_image_free(&img);
    return true;
  }
  img.format = PNG_FORMAT_RGBA;
  std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(img));
  if (!png_image_finish_read(&img, nullptr, pixels.data(), 0, nullptr)) {
    *why = name + " is a damaged PNG (" + img.message + "): the device would not show it";
    png_image_free(&img);
    return false;
  }
  return true;
}

H264Info inspect_h264(const uint8_t* p, size_t n) {
  H264Info info;
  auto next_start = [&](size_t from) {
    for (size_t k = from; k + 2 < n; k++) {
      if (p[k + 2] > 1) {
        k += 2;  // no start code can end at k + 1 or k + 2
        continue;
      }
      if (p[k] == 0 && p[k + 1] == 0 && p[k + 2] == 1) return k;
    }
    return n;
  };
  size_t s = next_start(0);
  if (s >= n) return info;
  for (size_t i = 0; i < s; i++)
    if (p[i] != 0) return info;
  info.annex_b = true;
  int slices = 0;
  while (s < n) {
    const size_t head = s + 3;
    const size_t end = next_start(head);
    if (head < end) {
      const int type = p[head] & 0x1F;
      const uint8_t* body = p + head + 1;
      const size_t len = end - head - 1;
      if (type == 7) {
        if (!read_sps(body, len, &info)) info.damaged = true;
      } else if (type == 8) {
        Bits b(body, len);
        b.ue();
        b.ue();
        if (b.u(1)) info.cabac = true;
        if (b.bad()) info.damaged = true;
        info.pps_count++;
      } else if (type == 1 || type == 5) {
        Bits b(body, len);
        const uint32_t first_mb = b.ue();
        const uint32_t slice_type = b.ue();
        if (!b.bad()) {
          if (first_mb == 0 || info.pictures == 0) {
            info.pictures++;
            slices = 0;
          }
          info.max_slices = std::max(info.max_slices, ++slices);
          if (slice_type % 5 == 1) info.b_slices = true;
        }
      }
    }
    s = end;
  }
  return info;
}

Limit band_limit(int area_w, int area_h, int bands, int band) {
  bands = std::clamp(bands, 1, 3);
  band = std::clamp(band, 0, bands - 1);
  Limit l;
  l.w = area_w > 0 && area_w < kStride ? area_w : kStride;
  const int* top = kBandTop[bands - 1];
  if (band == 0)
    l.h = std::min(area_h > 0 ? area_h : kFrameRows, kFrameRows);
  else
    l.h = std::min(kBandHeight[band], kFrameRows - top[band]);
  // A taller picture would be decoded, and then covered by the next band.
  if (band + 1 < bands) l.h = std::min(l.h, top[band + 1] - top[band]);
  return l;
}

bool h264(const std::string& name, const std::vector<uint8_t>& data, Limit limit,
          std::string* why) {
  const H264Info in = inspect_h264(data.data(), data.size());
  const std::string use_play = ": convert it, e.g. `panelctl play " + name + "`";
  if (!in.annex_b) {
    const std::string kind = kind_of(data.data(), data.size());
    if (!kind.empty() && kind != "H.264")
      *why = name + " is " + what_it_is(kind) + ", not an H.264 stream: use `panelctl play " +
             name + "`";
    else
      *why = name +
             " is not an H.264 stream in Annex B form (it does not begin with a start code 00 00 "
             "01)" +
             use_play;
    return false;
  }
  if (in.damaged) {
    *why = name + " has a damaged parameter set: the device would not show it" + use_play;
  } else if (in.sps_count == 0 || in.pps_count == 0) {
    *why = name + " holds no sequence or picture parameter set, so the device cannot decode it" +
           use_play;
  } else if (in.pictures == 0) {
    *why = name + " holds no picture (no coded slice)";
  } else if (!in.baseline) {
    *why = name + " is H.264 " + profile_name(in.profile) +
           " profile; the device decodes Baseline only" + use_play;
  } else if (in.cabac) {
    *why = name + " uses CABAC entropy coding; the device decodes Baseline only" + use_play;
  } else if (in.b_slices) {
    *why = name + " has B-frames; the device decodes Baseline only" + use_play;
  } else if (in.max_slices > 1) {
    *why = name + " has " + std::to_string(in.max_slices) +
           " slices per picture; the device decodes one slice per picture" + use_play;
  } else if (in.width > limit.w || in.height > limit.h) {
    *why = name + " is " + std::to_string(in.width) + "x" + std::to_string(in.height) +
           "; the device decodes at most " + std::to_string(limit.w) + "x" +
           std::to_string(limit.h) + " " + limit.where + use_play;
  } else {
    return true;
  }
  return false;
}

}  // namespace check
