// Programs on the simulated camera: camshot (its command line, the pipeline scripts' failures
// told apart with their own exit status, the picture it takes) and a real V4L2 client.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "board.h"
#include "models/camera.h"
#include "scenario.h"
#include "simtest.h"
#include "tarsa/vx_camera.h"

namespace {

class Camshot : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = ::testing::TempDir() + "camshot-" + std::to_string(::getpid());
    ASSERT_EQ(::mkdir(dir_.c_str(), 0755), 0);
  }
  void TearDown() override { std::system(("rm -r '" + dir_ + "'").c_str()); }

  // A stand-in pipeline script on PATH that notes its arguments and ends with `status`.
  void script(const std::string &name, int status) {
    const std::string file = dir_ + "/" + name;
    std::ofstream(file) << "#!/bin/sh\necho \"" << name << " $*\" >> " << dir_ << "/calls\nexit "
                        << status << "\n";
    ::chmod(file.c_str(), 0755);
  }
  simtest::Result run(const std::vector<std::string> &args, const std::string &scenario = "") {
    std::vector<std::string> argv = {simtest::bin("camshot")};
    argv.insert(argv.end(), args.begin(), args.end());
    simtest::RunOptions opts;
    opts.scenario_toml = scenario;
    opts.env = {"PATH=" + dir_ + ":" + std::getenv("PATH")};
    return simtest::run(argv, opts);
  }
  // What the program wrote on standard error. Under qemu the scripts run in the PC's own shell,
  // whose loader complains about the board's preload library: those lines are not the program's.
  static std::string err(const simtest::Result &r) {
    std::istringstream in(r.err);
    std::string out, line;
    while (std::getline(in, line))
      if (line.rfind("ERROR: ld.so:", 0) != 0) out += line + "\n";
    return out;
  }
  std::string calls() {
    std::stringstream s;
    s << std::ifstream(dir_ + "/calls").rdbuf();
    return s.str();
  }
  std::string dir_;
};

TEST_F(Camshot, BadCommandLinesEndWithStatus2BeforeAnyScriptRuns) {
  script("media-pipes.sh", 0);
  for (const auto &[args, says] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"-q", "101"}, "the quality must be 0 to 100, not \"101\""},
           {{"-W", "0"}, "the width must be a positive whole number, not \"0\""},
           {{"-H", "12x"}, "the height must be a positive whole number, not \"12x\""},
           {{"a.jpg", "b.jpg"}, "one output file only (\"b.jpg\" is one too many)"}}) {
    const simtest::Result r = run(args);
    EXPECT_EQ(r.status, 2) << says;
    EXPECT_EQ(err(r), "camshot: " + says + "\n");
  }
  EXPECT_EQ(calls(), "");
}

TEST_F(Camshot, PipelineScriptFailuresEndWithStatus4) {
  script("media-pipes.sh", 1);
  simtest::Result r = run({"-W", "640", "-H", "480", dir_ + "/x.jpg"});
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(err(r),
            "camshot: media-pipes.sh failed: the media pipeline is not set up (is it on PATH?)\n");

  script("media-pipes.sh", 0);
  script("media-formats.sh", 3);
  r = run({"-W", "640", "-H", "480", dir_ + "/x.jpg"});
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(err(r), "camshot: media-formats.sh failed: the pipeline refused the frame size\n");
  EXPECT_EQ(calls(), "media-pipes.sh \nmedia-pipes.sh \nmedia-formats.sh 640 480\n");
  EXPECT_NE(::access((dir_ + "/x.jpg").c_str(), F_OK), 0);
}

// Decodes a JPEG file with djpeg: its pixels and size, empty when it cannot be read.
std::vector<unsigned char> decode(const std::string &path, int *w, int *h) {
  std::vector<unsigned char> out;
  std::FILE *p = ::popen(("djpeg -pnm '" + path + "' 2>/dev/null").c_str(), "r");
  int maxval = 0;
  if (p && std::fscanf(p, "P6 %d %d %d", w, h, &maxval) == 3 && std::fgetc(p) != EOF) {
    out.resize(std::size_t(*w) * *h * 3);
    out.resize(std::fread(out.data(), 1, out.size(), p));
  }
  if (p) ::pclose(p);
  return out;
}

TEST_F(Camshot, ThePictureIsTheRobotsViewOfTheWorld) {
  const std::string shot = dir_ + "/shot.jpg";
  // The built-in camera, without its sensor noise.
  const simtest::Result r = run({"-q", "90", shot},
                                "extends = \"builtin\"\n[[video.device]]\nnode = \"/dev/video6\"\n"
                                "model = \"camera\"\nnoise = 0\n");
  ASSERT_EQ(r.status, 0) << r.err;
  int w = 0, h = 0;
  const std::vector<unsigned char> got = decode(shot, &w, &h);
  ASSERT_EQ(got.size(), std::size_t(VX_CAMERA_WIDTH) * VX_CAMERA_HEIGHT * 3);

  // The same board's camera, asked here for the view from the start pose where the robot stands.
  tsim::SharedState *shm = tsim::shm_anonymous();
  ASSERT_NE(shm, nullptr);
  tsim::Board board(tsim::parse_scenario("", "builtin"), *shm, true);
  auto *cam = dynamic_cast<tsim::CameraModel *>(board.video(VX_CAMERA_DEVICE));
  ASSERT_NE(cam, nullptr);
  std::vector<unsigned char> yuv(std::size_t(w) * h * 3 / 2), want(got.size());
  cam->render(yuv.data(), w, h);
  ASSERT_EQ(imageProcess(yuv.data(), want.data()), 0);
  double se = 0;
  for (std::size_t i = 0; i < got.size(); ++i) se += std::pow(double(got[i]) - want[i], 2);
  EXPECT_GT(10 * std::log10(255.0 * 255.0 * double(got.size()) / se), 35.0);
}

// ELF class and machine of a program: the PC's tools cannot load the preload of a build for
// another machine (armhf under qemu-user).
std::string machine_of(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  char h[20] = {};
  f.read(h, sizeof h);
  return f ? std::string(h + 4, 1) + std::string(h + 18, 2) : std::string();
}

TEST_F(Camshot, V4l2CtlReadsTheCameraAndStreamsThreeFrames) {
  const std::string tool = "/usr/bin/v4l2-ctl";
  if (::access(tool.c_str(), X_OK) != 0) GTEST_SKIP() << "no v4l2-ctl (v4l-utils)";
  if (machine_of(tool) != machine_of("/proc/self/exe"))
    GTEST_SKIP() << "the PC's v4l2-ctl cannot load the preload of a build for another machine";
  simtest::Result r = simtest::run({tool, "-d", "/dev/video6", "--all"});
  EXPECT_EQ(r.status, 0) << r.err;
  for (const char *line :
       {"Driver name      : tsim-camera", "Video Capture\n\t\tStreaming",
        "Width/Height      : 752/480", "Pixel Format      : 'YU12'",
        "Default     : Left 0, Top 0, Width 752, Height 480", "Frames per second: 30.000"})
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;

  const std::string file = dir_ + "/frames.yuv";
  r = simtest::run({tool, "-d", "/dev/video6", "--set-fmt-video=width=320,height=240",
                    "--stream-mmap", "--stream-count=3", "--stream-to=" + file});
  EXPECT_EQ(r.status, 0) << r.err;
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 3 * 320 * 240 * 3 / 2);
  std::vector<long long> frames;
  for (const auto &rec : simtest::read_trace(r.trace))
    if (rec.value("request", nlohmann::json()) == "DQBUF" && rec["ret"] == 0)
      frames.push_back(rec["frame"]);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_LT(frames[0], frames[1]);
  EXPECT_LT(frames[1], frames[2]);
}

TEST_F(Camshot, V4l2CtlListsTheDeviceItsSizesAndIntervals) {
  const std::string tool = "/usr/bin/v4l2-ctl";
  if (::access(tool.c_str(), X_OK) != 0) GTEST_SKIP() << "no v4l2-ctl (v4l-utils)";
  if (machine_of(tool) != machine_of("/proc/self/exe"))
    GTEST_SKIP() << "the PC's v4l2-ctl cannot load the preload of a build for another machine";
  // Found by reading /dev, as the kernel's node would be.
  simtest::Result r = simtest::run({tool, "-d", "/dev/video6", "--list-devices"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Tarsa4 camera (platform:tarsa4-camera):\n\t/dev/video6\n\n");

  r = simtest::run({tool, "-d", "/dev/video6", "--list-formats-ext", "--get-fmt-video"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Size: Stepwise 32x32 - 752x480 with step 2/2"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Field             : None"), std::string::npos) << r.out;

  simtest::RunOptions o;
  o.scenario_toml =
      "extends = \"builtin\"\n[[video.device]]\nnode = \"/dev/video6\"\nmodel = \"camera\"\n"
      "sizes = \"640x480,320x240\"\nrate_hz = 15\n";
  r = simtest::run({tool, "-d", "/dev/video6", "--list-formats-ext"}, o);
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string interval = "\t\t\tInterval: Discrete 0.067s (15.000 fps)\n";
  EXPECT_NE(r.out.find("\t\tSize: Discrete 640x480\n" + interval + "\t\tSize: Discrete 320x240\n" +
                       interval),
            std::string::npos)
      << r.out;
}

}  // namespace
