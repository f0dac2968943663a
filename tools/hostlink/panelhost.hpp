// panelhost for C++: a thin owner of a panelhost connection (see panelhost.h
// for what each call does). Calls return false on failure; error() says why.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "panelhost.h"

namespace panel {

using Reply = std::vector<uint8_t>;  // PANELHOST_PACKET_LEN bytes

class Device {
 public:
  Device() = default;
  explicit Device(const std::string& path) { open(path); }
  ~Device() { panelhost_close(h_); }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
  Device(Device&& o) noexcept : h_(std::exchange(o.h_, nullptr)), open_error_(o.open_error_) {}
  Device& operator=(Device&& o) noexcept {
    std::swap(h_, o.h_);
    std::swap(open_error_, o.open_error_);
    return *this;
  }

  bool open(const std::string& path) {
    panelhost_close(h_);
    h_ = panelhost_open(path.c_str());
    if (!h_) open_error_ = "cannot open " + path;
    return h_ != nullptr;
  }
  bool is_open() const { return h_ != nullptr; }
  std::string error() const { return h_ ? panelhost_error(h_) : open_error_; }
  panelhost* handle() const { return h_; }
  void set_timeout(int ms) { panelhost_set_timeout(h_, ms); }

  // One exchange: command `code` with parameter bytes (from command byte 8
  // on), an optional bulk payload; the reply into *reply when given.
  bool exchange(uint8_t code, const std::vector<uint8_t>& params = {},
                const std::vector<uint8_t>& payload = {}, Reply* reply = nullptr) {
    Reply r(PANELHOST_PACKET_LEN);
    bool ok = panelhost_exchange(h_, code, params.data(), params.size(), payload.data(),
                                 payload.size(), r.data()) == 0;
    if (ok && reply) *reply = std::move(r);
    return ok;
  }

  bool identity(std::string* out) {
    char buf[26];
    if (panelhost_identity(h_, buf) != 0) return false;
    *out = buf;
    return true;
  }
  bool nop() { return panelhost_nop(h_) == 0; }
  bool brightness(uint8_t level) { return panelhost_brightness(h_, level) == 0; }
  bool rotation(uint8_t code) { return panelhost_rotation(h_, code) == 0; }
  bool take_over(int timeout_ms = 10000) { return panelhost_take_over(h_, timeout_ms) == 0; }
  bool show_jpeg(const std::vector<uint8_t>& jpeg) {
    return panelhost_show_jpeg(h_, jpeg.data(), jpeg.size()) == 0;
  }
  bool png_frame(const std::vector<uint8_t>& png, uint16_t x, uint16_t y, uint8_t stream,
                 uint8_t* queued = nullptr) {
    return panelhost_png_frame(h_, png.data(), png.size(), x, y, stream, queued) == 0;
  }
  bool clear_overlay() { return panelhost_clear_overlay(h_) == 0; }
  bool h264_block(int band, int bands, uint32_t stamp, const uint8_t* data, size_t len, bool last,
                  uint8_t* fill = nullptr) {
    return panelhost_h264_block(h_, band, bands, stamp, data, len, last ? 1 : 0, fill) == 0;
  }
  bool h264_start(uint32_t stamp, int timeout_ms = 5000) {
    return panelhost_h264_start(h_, stamp, timeout_ms) == 0;
  }
  bool frame_counter(uint32_t* frame) { return panelhost_frame_counter(h_, frame) == 0; }
  bool stop_video() { return panelhost_stop_video(h_) == 0; }
  bool upload(const std::string& device_path, const std::vector<uint8_t>& data) {
    return panelhost_upload(h_, device_path.c_str(), data.data(), data.size()) == 0;
  }
  bool file_size(const std::string& device_path, uint32_t* size) {
    return panelhost_file_size(h_, device_path.c_str(), size) == 0;
  }
  bool remove(const std::string& device_path) {
    return panelhost_delete(h_, device_path.c_str()) == 0;
  }
  bool list(const std::string& device_path, std::string* text) {
    char buf[2048];
    if (panelhost_list(h_, device_path.c_str(), buf, sizeof buf) != 0) return false;
    *text = buf;
    return true;
  }

 private:
  ::panelhost* h_ = nullptr;
  std::string open_error_;
};

}  // namespace panel
