// The camera module against the simulated camera: what vx_camera_init gives for each board, the
// requests a capture makes (read back from the trace), and frames that reach JPEG files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "simtest.h"
#include "tarsa/vx_camera.h"
#include "test_vx_capture.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::string camera(const std::string &keys) {
  return "extends = \"builtin\"\n[[video.device]]\nnode = \"/dev/video6\"\nmodel = \"camera\"\n" +
         keys + "\n";
}

// The requests on the node after `mark`, by name ("DQBUF" etc.), with the failed ones as
// "DQBUF!11" (the errno after the mark).
std::vector<std::string> requests(std::size_t mark) {
  std::vector<std::string> out;
  for (const auto &r : simtest::trace_since(mark, VX_CAMERA_DEVICE)) {
    if (r["op"] != "ioctl" || !r["request"].is_string()) continue;
    std::string s = r["request"];
    if (r["ret"] != 0) s += "!" + std::to_string(r["errno"].get<int>());
    out.push_back(s);
  }
  return out;
}

long count(const std::vector<std::string> &v, const std::string &what) {
  return std::count(v.begin(), v.end(), what);
}

class Camera : public ::testing::Test {
 protected:
  void TearDown() override {
    vx_camera_release();
    simtest::load("");
  }
};

TEST_F(Camera, GrantedSizeIsWrittenBackAndUsedByCaptureAndJpeg) {
  struct Case {
    const char *sizes;
    int result, w, h;
  } cases[] = {{"752x480,320x240", 0, 752, 480},
               {"640x480", 1, 640, 480},
               {"752x240", 2, 752, 240},
               {"320x240,160x120", 3, 320, 240}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.sizes);
    simtest::load(camera(std::string("pattern = true\nsizes = \"") + c.sizes + "\""));
    const std::size_t mark = simtest::trace_mark();
    int w = 752, h = 480;
    ASSERT_EQ(vx_camera_init(&w, &h), c.result);
    EXPECT_EQ(w, c.w);
    EXPECT_EQ(h, c.h);
    Bytes rgb(std::size_t(w) * h * 3 + 1, 7);  // one byte past the frame stays as it was
    ASSERT_EQ(take_one_image(rgb.data()), 0);
    EXPECT_EQ(rgb.back(), 7);
    // Colour bars: white at the left, black at the right, on every row.
    EXPECT_EQ(rgb[0] + rgb[1] + rgb[2], 3 * 255);
    EXPECT_EQ(rgb[rgb.size() - 2] + rgb[rgb.size() - 3] + rgb[rgb.size() - 4], 0);
    // What the trace says the program asked for and got.
    const auto recs = simtest::trace_since(mark, VX_CAMERA_DEVICE);
    const auto fmt = std::find_if(recs.begin(), recs.end(),
                                  [](auto &r) { return r.value("request", "") == "S_FMT"; });
    ASSERT_NE(fmt, recs.end());
    EXPECT_EQ((*fmt)["asked"], "752x480 YU12");
    EXPECT_EQ((*fmt)["granted"], std::to_string(c.w) + "x" + std::to_string(c.h) + " YU12");

    const std::string file = ::testing::TempDir() + "capture-" + std::to_string(c.result) + ".jpg";
    ASSERT_EQ(save_buffer_to_jpg(file.c_str(), 70, rgb.data()), 0);
    std::FILE *p = ::popen(("djpeg -pnm '" + file + "'").c_str(), "r");
    int jw = 0, jh = 0;
    EXPECT_EQ(std::fscanf(p, "P6 %d %d", &jw, &jh), 2);
    ::pclose(p);
    std::remove(file.c_str());
    EXPECT_EQ(jw, c.w);
    EXPECT_EQ(jh, c.h);
    EXPECT_EQ(vx_camera_release(), 0);
  }
}

TEST_F(Camera, EachRefusalOfTheBoardHasItsCode) {
  struct Case {
    std::string scenario;
    int result;
    bool opened;  // the refusal came inside the device set-up
  } cases[] = {
      {camera("pipes_status = 1"), -6, false},
      {camera("pipes_status = 127"), -6, false},  // the shell could not find or run it
      {camera("formats_status = 2"), -8, false},
      {"extends = \"builtin\"\n[[fault]]\nkind = \"missing\"\nnode = \"/dev/video6\"", -4, false},
      {"[pwm]\nchip = \"/dev/video6\"", -4, false},  // a directory there
      {camera("querycap_errno = 22"), -1, true},
      {camera("querycap_errno = 16"), -16, true},
      {camera("capture = false"), -2, true},
      {camera("streaming = false"), -3, true},
      {camera("format_errno = 16"), -16, true},
      {camera("buffers = 1"), VX_CAMERA_EBUFFERS, true},
  };
  Bytes rgb(752 * 480 * 3);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.scenario);
    simtest::load(c.scenario);
    int w = 752, h = 480;
    EXPECT_EQ(vx_camera_init(&w, &h), c.result);
    // A refusal inside the device set-up leaves it open but not ready.
    EXPECT_EQ(take_one_image(rgb.data()), c.opened ? -2 : -1);
    vx_camera_release();
  }
}

TEST_F(Camera, CaptureReadsThreeFramesAndStopsTheStream) {
  simtest::load(camera("rate_hz = 60"));
  int w = 320, h = 240;
  ASSERT_EQ(vx_camera_init(&w, &h), 0);
  Bytes rgb(std::size_t(w) * h * 3);
  const std::size_t mark = simtest::trace_mark();
  ASSERT_EQ(take_one_image(rgb.data()), 0);
  const auto seen = requests(mark);
  EXPECT_EQ(count(seen, "DQBUF"), 3);
  EXPECT_EQ(count(seen, "QBUF"), 2 + 3);  // both buffers, then each one read
  EXPECT_EQ(seen.front(), "QBUF");
  EXPECT_EQ(seen.back(), "STREAMOFF");
  // A waiting reader is woken by the frame: no dequeue finds the queue empty.
  EXPECT_EQ(count(seen, "DQBUF!11"), 0);
}

TEST_F(Camera, SlowFramesAddOneToTakeForEachTimeout) {
  // A frame every 1.25 s: each 1-second wait times out once before its frame comes, and the
  // frame to take that it adds keeps the capture going; the third timeout ends it with what it
  // has (the bound that keeps a slow camera from holding the caller for ever).
  simtest::load(camera("rate_hz = 0.8"));
  int w = 320, h = 240;
  ASSERT_EQ(vx_camera_init(&w, &h), 0);
  Bytes rgb(std::size_t(w) * h * 3);
  const std::size_t mark = simtest::trace_mark();
  ASSERT_EQ(take_one_image(rgb.data()), 0);
  const auto seen = requests(mark);
  EXPECT_EQ(count(seen, "DQBUF"), 2);
  EXPECT_EQ(count(seen, "DQBUF!11"), 2);  // an attempt after each timeout but the last
  EXPECT_EQ(seen.back(), "STREAMOFF");
}

TEST_F(Camera, NoFrameAtAllTriesAgainOnceAndFails) {
  simtest::load(camera("rate_hz = 0"));
  int w = 320, h = 240;
  ASSERT_EQ(vx_camera_init(&w, &h), 0);
  Bytes rgb(std::size_t(w) * h * 3);
  const std::size_t mark = simtest::trace_mark();
  core_test::Capture out(1);
  EXPECT_EQ(take_one_image(rgb.data()), -9);
  EXPECT_EQ(out.text(), "trying again...\r\n");
  const auto seen = requests(mark);
  EXPECT_EQ(count(seen, "DQBUF"), 0);
  EXPECT_EQ(count(seen, "DQBUF!11"), 4);   // two bounded waits of three timeouts each
  EXPECT_EQ(count(seen, "STREAMOFF"), 0);  // left streaming, as documented
}

TEST_F(Camera, ReleaseFreesTheQueueForTheNextInit) {
  // As on a kernel: closing the node frees its buffers, so a second set-up in the same process
  // can choose another size.
  simtest::load(camera("pattern = true\nrate_hz = 60"));
  int w = 752, h = 480;
  ASSERT_EQ(vx_camera_init(&w, &h), 0);
  Bytes rgb(std::size_t(w) * h * 3);
  ASSERT_EQ(take_one_image(rgb.data()), 0);
  ASSERT_EQ(vx_camera_release(), 0);
  w = 320, h = 240;
  ASSERT_EQ(vx_camera_init(&w, &h), 0);
  EXPECT_EQ(w * 1000 + h, 320240);
  Bytes small(std::size_t(w) * h * 3 + 1, 7);
  ASSERT_EQ(take_one_image(small.data()), 0);
  EXPECT_EQ(small.back(), 7);
  EXPECT_EQ(small[0] + small[1] + small[2], 3 * 255);  // the bars, at the new size
}

}  // namespace
