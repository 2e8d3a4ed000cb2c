// Camera image operations on one 752 x 480 frame, side by side with OpenCV, libyuv and TurboJPEG,
// then a table of our CPU time over the fastest peer's. Everything runs on one thread: the
// library starts none, so OpenCV is held to one as well.
#include <benchmark/benchmark.h>
#include <libyuv.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <string>
#include <vector>

#include "tarsa/vx_camera.h"

namespace {

constexpr int W = VX_CAMERA_WIDTH, H = VX_CAMERA_HEIGHT;
constexpr int kSobelX[9] = {-1, 0, 1, -2, 0, 2, -1, 0, 1};
constexpr int kSobelY[9] = {-1, -2, -1, 0, 0, 0, 1, 2, 1};

// A frame with what a camera sees: smooth shading, a few hard edges, sensor noise.
struct Frames {
  std::vector<unsigned char> yuv, rgb, grey_rgb, grey;
  Frames() : yuv(W * H * 3 / 2), rgb(W * H * 3), grey_rgb(W * H * 3), grey(W * H) {
    std::mt19937 noise(7);
    std::normal_distribution<double> n(0, 3);
    const auto byte = [](double v) {
      return static_cast<unsigned char>(std::clamp(v, 0.0, 255.0));
    };
    for (int y = 0; y < H; ++y) {
      for (int x = 0; x < W; ++x) {
        double v = 60 + 120.0 * x / W + 40 * std::sin(y / 37.0);
        if ((x / 94 + y / 80) % 3 == 0) v -= 50;  // blocks with sharp borders
        if (std::hypot(x - 500, y - 200) < 90) v = 230;
        yuv[y * W + x] = byte(v + n(noise));
      }
    }
    unsigned char *u = yuv.data() + W * H, *v = u + W * H / 4;
    for (int j = 0; j < H / 2; ++j) {
      for (int i = 0; i < W / 2; ++i) {
        u[j * W / 2 + i] = byte(128 + 40 * std::cos(i / 50.0) + n(noise));
        v[j * W / 2 + i] = byte(128 + 35 * std::sin(j / 30.0 + i / 90.0) + n(noise));
      }
    }
    imageProcess(yuv.data(), rgb.data());
    grey_rgb = rgb;
    into_greyscale(grey_rgb.data());
    for (int p = 0; p < W * H; ++p) grey[p] = grey_rgb[3 * p];
  }
};
Frames &frames() {
  static Frames f;
  return f;
}

void ImageProcess(benchmark::State &s) {
  std::vector<unsigned char> out(W * H * 3);
  for (auto _ : s) imageProcess(frames().yuv.data(), out.data());
}
void CvI420ToRgb(benchmark::State &s) {
  cv::Mat in(H * 3 / 2, W, CV_8UC1, frames().yuv.data()), out(H, W, CV_8UC3);
  for (auto _ : s) cv::cvtColor(in, out, cv::COLOR_YUV2RGB_I420);
}
void LibyuvI420ToRgb24(benchmark::State &s) {
  const unsigned char *y = frames().yuv.data(), *u = y + W * H, *v = u + W * H / 4;
  std::vector<unsigned char> out(W * H * 3);
  for (auto _ : s) libyuv::I420ToRGB24(y, W, u, W / 2, v, W / 2, out.data(), W * 3, W, H);
}

void IntoGreyscale(benchmark::State &s) {
  std::vector<unsigned char> img(W * H * 3);
  for (auto _ : s) {
    s.PauseTiming();
    img = frames().rgb;
    s.ResumeTiming();
    into_greyscale(img.data());
  }
}
void CvRgbToGrey(benchmark::State &s) {
  cv::Mat in(H, W, CV_8UC3, frames().rgb.data()), out(H, W, CV_8UC1);
  for (auto _ : s) cv::cvtColor(in, out, cv::COLOR_RGB2GRAY);
}

void ApplyFilter(benchmark::State &s) {
  std::vector<unsigned char> out(W * H * 3);
  for (auto _ : s) apply_filter(frames().grey_rgb.data(), out.data(), kSobelX, kSobelY, 3, 3);
}
void CvSobelAbsSum(benchmark::State &s) {
  cv::Mat in(H, W, CV_8UC1, frames().grey.data()), gx, gy, ax, ay, out;
  for (auto _ : s) {
    cv::Sobel(in, gx, CV_16S, 1, 0, 3);
    cv::Sobel(in, gy, CV_16S, 0, 1, 3);
    cv::convertScaleAbs(gx, ax);
    cv::convertScaleAbs(gy, ay);
    cv::add(ax, ay, out);
  }
}

// The file goes to $TMPDIR, else to /dev/shm: memory, so that the disk's speed stays out of it.
std::string scratch_jpeg() {
  const char *dir = std::getenv("TMPDIR");
  const std::string base = dir != nullptr                  ? dir
                           : access("/dev/shm", W_OK) == 0 ? "/dev/shm"
                                                           : "/tmp";
  return base + "/bench_camera_" + std::to_string(getpid()) + ".jpg";
}
void SaveBufferToJpg(benchmark::State &s) {
  const std::string path = scratch_jpeg();
  for (auto _ : s) {
    if (save_buffer_to_jpg(path.c_str(), 70, frames().rgb.data()) != 0)
      s.SkipWithError("write failed");
  }
  unlink(path.c_str());
}
// TurboJPEG picks the fast, less accurate DCT below quality 96 unless told otherwise; with
// TJFLAG_ACCURATEDCT its file is byte for byte the one save_buffer_to_jpg writes.
void TurboJpegToMemory(benchmark::State &s, int flags) {
  tjhandle tj = tjInitCompress();
  unsigned long size = tjBufSize(W, H, TJSAMP_420);
  unsigned char *buf = tjAlloc(static_cast<int>(size));
  for (auto _ : s) {
    unsigned long n = size;
    tjCompress2(tj, frames().rgb.data(), W, 0, H, TJPF_RGB, &buf, &n, TJSAMP_420, 70,
                flags | TJFLAG_NOREALLOC);
  }
  tjFree(buf);
  tjDestroy(tj);
}

// Ours, then its peers.
struct Group {
  const char *ours;
  std::vector<const char *> peers;
};
const std::vector<Group> kGroups = {
    {"imageProcess", {"cv::cvtColor(YUV2RGB_I420)", "libyuv::I420ToRGB24"}},
    {"into_greyscale", {"cv::cvtColor(RGB2GRAY)"}},
    {"apply_filter(3x3 gradients)", {"cv::Sobel x2 + abs sum"}},
    {"save_buffer_to_jpg(q70)",
     {"tjCompress2(q70, memory)", "tjCompress2(q70, memory, same bytes)"}},
};

// Keeps the least CPU time per iteration of each benchmark over its repetitions, for the table:
// on a shared machine the least is the one least disturbed.
class Collect : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> cpu_us;
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const auto &r : runs) {
      if (!r.error_occurred && r.run_type == Run::RT_Aggregate && r.aggregate_name == "least")
        cpu_us[r.run_name.function_name] = r.GetAdjustedCPUTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char **argv) {
  cv::setNumThreads(1);
  frames();
  const std::vector<std::pair<const char *, void (*)(benchmark::State &)>> all = {
      {kGroups[0].ours, ImageProcess},
      {kGroups[0].peers[0], CvI420ToRgb},
      {kGroups[0].peers[1], LibyuvI420ToRgb24},
      {kGroups[1].ours, IntoGreyscale},
      {kGroups[1].peers[0], CvRgbToGrey},
      {kGroups[2].ours, ApplyFilter},
      {kGroups[2].peers[0], CvSobelAbsSum},
      {kGroups[3].ours, SaveBufferToJpg},
      {kGroups[3].peers[0], [](benchmark::State &s) { TurboJpegToMemory(s, 0); }},
      {kGroups[3].peers[1], [](benchmark::State &s) { TurboJpegToMemory(s, TJFLAG_ACCURATEDCT); }},
  };
  for (const auto &[name, fn] : all)
    benchmark::RegisterBenchmark(name, fn)
        ->Unit(benchmark::kMicrosecond)
        ->Repetitions(5)
        ->ReportAggregatesOnly()
        ->ComputeStatistics("least", [](const std::vector<double> &v) {
          return *std::min_element(v.begin(), v.end());
        });
  benchmark::Initialize(&argc, argv);
  Collect report;
  benchmark::RunSpecifiedBenchmarks(&report);

  // Ours over each peer; below 1 is faster.
  std::printf("\nCPU time per 752 x 480 frame, least of 5 runs\n");
  for (const auto &g : kGroups) {
    if (!report.cpu_us.count(g.ours)) continue;
    const double ours = report.cpu_us[g.ours];
    std::printf("%-38s %9.1f us\n", g.ours, ours);
    for (const char *p : g.peers)
      if (report.cpu_us.count(p))
        std::printf("  %-36s %9.1f us   ours / this %5.2f\n", p, report.cpu_us[p],
                    ours / report.cpu_us[p]);
  }
  return 0;
}
