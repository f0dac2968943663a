// The simulated panel opened inside the test process: a fresh device root,
// init_disp() on it, and a way to see which picture plane 0 shows (read
// from the simulation files with plain file reads, so the test never
// touches memory the decoder is writing).
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "link/subsystems.h"
#include "platform/sim/sim_state.h"
#include "tests/harness/harness.h"

namespace testpanel {

class PanelTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = new harness::DeviceRoot(true);
    setenv("PANELD_ROOT", root_->path().c_str(), 1);
    init_disp();
  }
  static void TearDownTestSuite() {
    delete root_;
    root_ = nullptr;
  }
  static const harness::DeviceRoot& root() { return *root_; }

  struct Shown {
    bool any = false;
    uint32_t y_phys = 0;
    int luma = -1;  // luma at the picture's centre
  };
  static Shown shown() {
    Shown s;
    SimPlaneState st;
    if (sim_state_read(root_->path(), &st) != 0 || !st.fb0_picture) return s;
    s.any = true;
    s.y_phys = st.fb0_cfg[9];
    uint32_t pitch = st.fb0_cfg[10], w = st.fb0_cfg[1], h = st.fb0_cfg[2];
    int fd = open(root_->file(sim_rmem_file).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return s;
    uint8_t b = 0;
    off_t off = off_t(s.y_phys - sim_rmem_phys_base) + off_t(h / 2) * pitch + w / 2;
    if (pread(fd, &b, 1, off) == 1) s.luma = b;
    close(fd);
    return s;
  }

  // Completed updates of the plane state (each shown picture adds some).
  static uint32_t updates() {
    SimPlaneState st;
    return sim_state_read(root_->path(), &st) == 0 ? st.updates : 0;
  }

  // Polls `cond` every 10 ms for up to timeout_ms.
  static bool eventually(const std::function<bool()>& cond, int timeout_ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
      if (cond()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
  }

 private:
  static inline harness::DeviceRoot* root_ = nullptr;
};

}  // namespace testpanel
