// The PNG overlay streams end to end: the real daemon on a pty, frames sent
// through the real protocol, checked pixel by pixel on `panelsim snapshot`.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/system_png/png_system.h"

namespace {

using namespace pngsys;

TEST(SystemPng, SmallPictureShowsAtItsPositionWithoutAFlip) {
  Device dev;
  Daemon& d = *dev.d;
  Plane plane{dev.root};
  const int shown_before = plane.shown();
  // 100 x 50 at x 200, y 10: columns 200..299 of rows dev_y + 10 .. dev_y + 59.
  const Picture pic =
      pngtest::make_picture({"rgba8", PNG_COLOR_TYPE_RGB_ALPHA, 8, false, false}, 100, 50);
  const int reply = send_png(d, pic.png, 200, 10, true);
  EXPECT_GE(reply, 0);
  EXPECT_LE(reply, 1);
  ASSERT_TRUE(poll_until([&] { return plane.shown_pixel(299, kTop + 59) == pic.at(99, 49); }, 3000))
      << d.log();
  harness::Image img;
  ASSERT_TRUE(harness::snapshot(dev.root, "overlay", &img));
  EXPECT_TRUE(shows(img, pic, 200, kTop + 10));
  for (int x = 195; x < 305; x++) {
    EXPECT_TRUE(snap_px(img, x, kTop + 9) == kClear) << x;
    EXPECT_TRUE(snap_px(img, x, kTop + 60) == kClear) << x;
  }
  for (int y = kTop + 10; y < kTop + 60; y++) {
    EXPECT_TRUE(snap_px(img, 199, y) == kClear) << y;
    EXPECT_TRUE(snap_px(img, 300, y) == kClear) << y;
  }
  EXPECT_EQ(plane.shown(), shown_before);
  const std::string log = d.log();
  for (const char* line : {"show png\n", "small png\n", "width:100,height:50\n", "color type:6\n"})
    EXPECT_NE(log.find(line), std::string::npos) << line;
}

// Every PNG kind, plain and interlaced, sent as small frames and laid out
// in a grid; the host paces itself by the queue size.
TEST(SystemPng, EveryPngKindDrawsTheSamePixels) {
  Device dev;
  Daemon& d = *dev.d;
  Plane plane{dev.root};
  const auto& kinds = pngtest::all_kinds();
  std::vector<Picture> pics;
  for (size_t i = 0; i < kinds.size(); i++) {
    pics.push_back(pngtest::make_picture(kinds[i], 13, 11));
    ASSERT_TRUE(poll_until([&] { return small_queue(d) <= 2; }, 3000));
    ASSERT_GE(send_png(d, pics.back().png, 20 + (i % 8) * 20, 20 + (i / 8) * 20, true), 0);
  }
  const size_t last = kinds.size() - 1;
  ASSERT_TRUE(poll_until(
      [&] {
        return plane.shown_pixel(20 + (last % 8) * 20 + 12, kTop + 20 + (last / 8) * 20 + 10) ==
               pics[last].at(12, 10);
      },
      5000));
  harness::Image img;
  ASSERT_TRUE(harness::snapshot(dev.root, "overlay", &img));
  for (size_t i = 0; i < kinds.size(); i++)
    EXPECT_TRUE(shows(img, pics[i], 20 + (i % 8) * 20, kTop + 20 + (i / 8) * 20)) << kinds[i].name;
}

// A full-screen picture is decoded off screen and shown by a flip. Without
// a small frame due at that moment the earlier small pictures are gone;
// with one due it is drawn on the new picture before the flip. 103 then
// leaves an empty overlay.
TEST(SystemPng, FullScreenPictureFlipsInWithTheDueSmallPictureOnTop) {
  Device dev;
  Daemon& d = *dev.d;
  Plane plane{dev.root};
  const Picture a = small_picture(0x00), b = small_picture(0x5A);
  const Picture f1 = full_picture(1), f2 = full_picture(2);
  ASSERT_LE(f1.png.size(), kFullSlot);

  // Small picture A, then a full-screen picture while no small frame comes.
  ASSERT_GE(send_png(d, a.png, 500, 300, true), 0);
  ASSERT_TRUE(poll_until([&] { return plane.shown_pixel(500, kTop + 300) == a.at(0, 0); }, 3000));
  const int front = plane.shown();
  const long long sent = now_ms();
  // The reply counts frames still waiting: 0 once the decoder took it.
  const int waiting = send_png(d, f1.png, 77, 99, false);  // x and y are not used
  ASSERT_GE(waiting, 0);
  ASSERT_LE(waiting, 1);
  // The decode is spread over about a second: the shown buffer keeps its
  // picture meanwhile, while the back buffer fills.
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  if (now_ms() - sent < 800) {
    EXPECT_EQ(plane.shown(), front);
    EXPECT_TRUE(plane.shown_pixel(0, kTop) == kClear);
    EXPECT_TRUE(plane.pixel(front ^ 1, 0, kTop) == f1.at(0, 0));
  }
  ASSERT_TRUE(poll_until([&] { return plane.shown() != front; }, 5000)) << d.log();
  EXPECT_GE(now_ms() - sent, 800);  // nine pacing intervals at least
  harness::Image img;
  ASSERT_TRUE(harness::snapshot(dev.root, "overlay", &img));
  EXPECT_TRUE(shows(img, f1, 0, kTop));  // A is gone: it was on the other buffer
  for (int x = 0; x < img.width; x += 97) EXPECT_TRUE(snap_px(img, x, kTop - 1) == kClear) << x;

  // The second full-screen picture while small frames keep coming: at the
  // flip one is due and is drawn before the pan, so the new picture never
  // shows without it.
  const int front2 = plane.shown();
  ASSERT_GE(send_png(d, f2.png, 0, 0, false), 0);
  bool flipped = false;
  const long long end = now_ms() + 5000;
  while (!flipped && now_ms() < end) {
    if (small_queue(d) < 3) {
      ASSERT_GE(send_png(d, b.png, 100, 200, true), 0);
    }
    if (plane.shown() != front2) {
      flipped = true;
      EXPECT_TRUE(plane.shown_pixel(100, kTop + 200) == b.at(0, 0));
      EXPECT_TRUE(plane.shown_pixel(1079, kTop + 2287) == f2.at(1079, 2287));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(flipped) << d.log();
  ASSERT_TRUE(poll_until([&] { return small_queue(d) == 0; }, 3000));
  std::this_thread::sleep_for(std::chrono::milliseconds(150));  // the last one is drawn
  ASSERT_TRUE(harness::snapshot(dev.root, "overlay", &img));
  EXPECT_TRUE(shows(img, b, 100, kTop + 200));
  EXPECT_TRUE(snap_px(img, 99, kTop + 200) == f2.at(99, 200));
  EXPECT_TRUE(snap_px(img, 1000, kTop + 2000) == f2.at(1000, 2000));

  // 103: the overlay is empty, whichever buffer is shown; both are wiped.
  Packet r;
  ASSERT_TRUE(d.command(103, {}, &r));
  for (const char* layer : {"overlay", "overlay0", "overlay1"}) {
    ASSERT_TRUE(harness::snapshot(dev.root, layer, &img));
    bool clear = true;
    for (size_t i = 0; i < img.rgba.size() && clear; i++) clear = img.rgba[i] == 0;
    EXPECT_TRUE(clear) << layer;
  }
}

TEST(SystemPng, OverlayPlaneSwitchesOffAndOn) {
  Device dev;
  Daemon& d = *dev.d;
  Packet r;
  ASSERT_TRUE(d.command(105, {0}, &r));
  EXPECT_NE(harness::snapshot_state(dev.root).find("\"fb1_enabled\":false"), std::string::npos)
      << harness::snapshot_state(dev.root);
  EXPECT_TRUE(d.wait_log("disable fb1\n"));
  ASSERT_TRUE(d.command(105, {7}, &r));
  EXPECT_NE(harness::snapshot_state(dev.root).find("\"fb1_enabled\":true"), std::string::npos);
  EXPECT_TRUE(d.wait_log("enable fb1\n"));
}

// Six slots: frames sent faster than the thread draws them (ten a second)
// find the pool busy and are dropped, their payload taken off the line;
// the reply still reports the display queue.
TEST(SystemPng, BusyPoolDropsFramesAndReportsTheQueue) {
  Device dev;
  Daemon& d = *dev.d;
  const Picture pic = small_picture(0x33, 8, 8);
  std::vector<int> replies;
  for (int i = 0; i < 14; i++) replies.push_back(send_png(d, pic.png, 10 + i * 20, 40, true));
  const int queued_after = small_queue(d);
  EXPECT_GE(queued_after, 1);
  EXPECT_LE(queued_after, 6);
  ASSERT_TRUE(poll_until([&] { return small_queue(d) == 0; }, 3000));
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  harness::Image img;
  ASSERT_TRUE(harness::snapshot(dev.root, "overlay", &img));
  int drawn = 0;
  for (int i = 0; i < 14; i++) {
    ASSERT_GE(replies[i], 0) << i;
    EXPECT_LE(replies[i], 6) << i;
    if (shows(img, pic, 10 + i * 20, kTop + 40)) {
      drawn++;
    } else {
      // Dropped: only when every slot was queued or being drawn.
      EXPECT_GE(replies[i], 5) << "frame " << i << " dropped with a short queue";
    }
  }
  EXPECT_GE(drawn, 6);
  EXPECT_LT(drawn, 14);
}

// Frames the host should not have sent: refused or drawn safely; the next
// frames of both streams are taken as usual.
TEST(SystemPng, BadFramesAreRefusedOrClippedAndTheStreamsGoOn) {
  Device dev;
  Daemon& d = *dev.d;
  Plane plane{dev.root};
  Packet r;
  // Longer than a slot, or than the receive buffer: refused, payload read off.
  std::vector<uint8_t> junk(kSmallSlot + 1, 0x42);
  EXPECT_EQ(send_png(d, junk, 0, 0, true), 0);
  junk.assign(kFullSlot + 1, 0x43);
  EXPECT_EQ(send_png(d, junk, 0, 0, false), 0);
  junk.assign(kMaxPacket + 1, 0x44);
  EXPECT_EQ(send_png(d, junk, 0, 0, true), 0);
  ASSERT_TRUE(d.command(254, {}, &r));

  // Broken data, more frames than the pool has slots: every slot comes back.
  const Picture good = small_picture(0x11, 30, 20);
  std::vector<uint8_t> cut(good.png.begin(), good.png.begin() + good.png.size() / 2);
  std::vector<uint8_t> flipped = good.png;
  flipped[flipped.size() / 2] ^= 0xFF;
  std::vector<uint8_t> not_png = {'J', 'F', 'I', 'F', 1, 2, 3, 4, 5, 6, 7, 8};
  for (int i = 0; i < 4; i++) {
    for (const std::vector<uint8_t>* v : {&cut, &flipped, &not_png}) {
      ASSERT_TRUE(poll_until([&] { return small_queue(d) <= 3; }, 3000));
      ASSERT_GE(send_png(d, *v, 0, 0, true), 0);
    }
  }
  ASSERT_GE(send_png(d, {}, 0, 0, true), 0);  // an empty frame
  ASSERT_TRUE(poll_until([&] { return small_queue(d) <= 3; }, 3000));
  ASSERT_GE(send_png(d, good.png, 400, 400, true), 0);
  ASSERT_TRUE(
      poll_until([&] { return plane.shown_pixel(429, kTop + 419) == good.at(29, 19); }, 3000))
      << d.log();
  EXPECT_TRUE(d.wait_log("The file is not PNG\n"));
  EXPECT_TRUE(d.wait_log("libpng error"));

  // Pictures over the plane's edges are clipped; one wholly outside draws
  // nothing.
  const Picture wide = small_picture(0x22, 100, 80);
  ASSERT_GE(send_png(d, wide.png, 1030, 2400 - kTop - 30, true), 0);
  ASSERT_GE(send_png(d, wide.png, 65535, 65535, true), 0);
  ASSERT_TRUE(poll_until([&] { return small_queue(d) == 0; }, 3000));
  ASSERT_TRUE(poll_until([&] { return plane.shown_pixel(1079, 2399) == wide.at(49, 29); }, 3000));
  EXPECT_TRUE(plane.shown_pixel(1030, 2370) == wide.at(0, 0));

  // Full-screen: broken frames do not keep the permit, a picture of three
  // rows needs no division by zero; each valid one is flipped in.
  const int front = plane.shown();
  const int errors = d.count_log("libpng error");
  ASSERT_GE(send_png(d, cut, 0, 0, false), 0);
  ASSERT_TRUE(poll_until([&] { return d.count_log("libpng error") > errors; }, 3000));
  ASSERT_GE(send_png(d, not_png, 0, 0, false), 0);
  const Picture low = full_picture(3, 1080, 3);
  ASSERT_GE(send_png(d, low.png, 0, 0, false), 0);
  ASSERT_TRUE(poll_until([&] { return plane.shown() != front; }, 5000)) << d.log();
  EXPECT_TRUE(plane.shown_pixel(1079, kTop + 2) == low.at(1079, 2));
  ASSERT_TRUE(d.command(254, {}, &r));
}

// While a standby screen runs the frame is read and dropped.
TEST(SystemPng, FramesAreRefusedWhileTheOfflineScreenRuns) {
  Device dev(true);
  Daemon& d = *dev.d;
  const Picture pic = small_picture(0x44, 10, 10);
  EXPECT_EQ(send_png(d, pic.png, 0, 0, true), 0);
  EXPECT_TRUE(d.wait_log("error fail png-------------------"));
  Packet r;
  ASSERT_TRUE(d.command(254, {}, &r));
  EXPECT_EQ(r[0], 254);
}

}  // namespace
