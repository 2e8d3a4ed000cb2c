// camshot under the simulator: its command line, and the pipeline scripts' failures told apart
// with their own exit status.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "simtest.h"

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
  simtest::Result run(const std::vector<std::string> &args) {
    std::vector<std::string> argv = {simtest::bin("camshot")};
    argv.insert(argv.end(), args.begin(), args.end());
    simtest::RunOptions opts;
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

}  // namespace
