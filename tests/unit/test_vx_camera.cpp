// Camera module without a camera: conversions and filters against their formulas, JPEG files read
// back by a real decoder and compared with the memory form, the capture calls' refusals.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "camera/pixels.h"
#include "tarsa/vx_camera.h"

namespace {

using Bytes = std::vector<unsigned char>;
constexpr int W = VX_CAMERA_WIDTH, H = VX_CAMERA_HEIGHT;  // the size until a camera grants another
constexpr std::size_t kPixels = std::size_t{W} * H;

// The formulas as the camera's documentation gives them, double precision, truncated.
unsigned char clamp(double v) {
  return v >= 255 ? 255 : v <= 0 ? 0 : static_cast<unsigned char>(v);
}
void yuv_pixel(int y, int u, int v, unsigned char *rgb) {
  rgb[0] = clamp(y + 1.402 * (v - 128));
  rgb[1] = clamp(y - 0.344 * (u - 128) - 0.714 * (v - 128));
  rgb[2] = clamp(y + 1.772 * (u - 128));
}
unsigned char grey_pixel(int r, int g, int b) {
  return static_cast<unsigned char>((0.59 * g + 0.3 * r) + 0.11 * b);
}

using YuvForm = std::function<void(const unsigned char *, unsigned char *)>;
using GreyForm = std::function<void(unsigned char *)>;

// Each form the machine can run: the public call, and each of its internal forms.
std::vector<std::pair<std::string, YuvForm>> yuv_forms() {
  namespace px = tarsa::pixels;
  std::vector<std::pair<std::string, YuvForm>> f = {
      {"imageProcess", [](auto *in, auto *out) { ASSERT_EQ(imageProcess(in, out), 0); }}};
  f.push_back({"scalar", [](auto *in, auto *out) { px::yuv420_to_rgb_scalar(in, out, W, H); }});
#ifdef TARSA_PIXELS_X86
  if (px::have_avx2())
    f.push_back({"avx2", [](auto *in, auto *out) { px::avx2::yuv420_to_rgb(in, out, W, H); }});
  if (px::have_avx512())
    f.push_back({"avx512", [](auto *in, auto *out) { px::avx512::yuv420_to_rgb(in, out, W, H); }});
#endif
  return f;
}
std::vector<std::pair<std::string, GreyForm>> grey_forms() {
  namespace px = tarsa::pixels;
  std::vector<std::pair<std::string, GreyForm>> f = {
      {"into_greyscale", [](auto *img) { ASSERT_EQ(into_greyscale(img), 0); }}};
  f.push_back({"scalar", [](auto *img) { px::grey_scalar(img, kPixels); }});
#ifdef TARSA_PIXELS_X86
  if (px::have_avx2()) f.push_back({"avx2", [](auto *img) { px::avx2::grey(img, kPixels); }});
  if (px::have_avx512()) f.push_back({"avx512", [](auto *img) { px::avx512::grey(img, kPixels); }});
#endif
  return f;
}

constexpr std::uint64_t kTriples = std::uint64_t{1} << 24;

TEST(Conversion, EveryYuvTripleGivesTheFormulasPixel) {
  // A 2 x 2 block shares one chroma sample: (U, V) in the sample, four Y values in the block.
  const std::size_t samples = kPixels / 4;
  Bytes yuv(kPixels * 3 / 2), rgb(kPixels * 3);
  for (const auto &[name, form] : yuv_forms()) {
    std::size_t wrong = 0;
    for (std::uint64_t first = 0; first < kTriples; first += 4 * samples) {
      for (std::size_t s = 0; s < samples; ++s) {
        const std::uint64_t t = (first + 4 * s) % kTriples;  // Y in the low byte: four in a row
        const std::size_t row = s / (W / 2), col = s % (W / 2), at = 2 * row * W + 2 * col;
        yuv[kPixels + s] = static_cast<unsigned char>(t >> 16);
        yuv[kPixels + samples + s] = static_cast<unsigned char>(t >> 8);
        yuv[at] = static_cast<unsigned char>(t & 0xfc);
        yuv[at + 1] = static_cast<unsigned char>((t & 0xfc) + 1);
        yuv[at + W] = static_cast<unsigned char>((t & 0xfc) + 2);
        yuv[at + W + 1] = static_cast<unsigned char>((t & 0xfc) + 3);
      }
      form(yuv.data(), rgb.data());
      for (std::size_t p = 0; p < kPixels; ++p) {
        const std::size_t s = (p / W / 2) * (W / 2) + (p % W) / 2;
        unsigned char want[3];
        yuv_pixel(yuv[p], yuv[kPixels + s], yuv[kPixels + samples + s], want);
        if (std::memcmp(want, &rgb[3 * p], 3) != 0 && ++wrong <= 3)
          ADD_FAILURE() << name << ": Y U V " << +yuv[p] << " " << +yuv[kPixels + s] << " "
                        << +yuv[kPixels + samples + s] << " gives " << +rgb[3 * p] << " "
                        << +rgb[3 * p + 1] << " " << +rgb[3 * p + 2];
      }
    }
    EXPECT_EQ(wrong, 0u) << name;
  }
}

TEST(Conversion, EveryRgbTripleGivesTheFormulasGrey) {
  Bytes img(kPixels * 3), src;
  for (const auto &[name, form] : grey_forms()) {
    std::size_t wrong = 0;
    for (std::uint64_t first = 0; first < kTriples; first += kPixels) {
      for (std::size_t p = 0; p < kPixels; ++p) {
        const std::uint64_t t = (first + p) % kTriples;
        img[3 * p] = static_cast<unsigned char>(t >> 16);
        img[3 * p + 1] = static_cast<unsigned char>(t >> 8);
        img[3 * p + 2] = static_cast<unsigned char>(t);
      }
      src = img;
      form(img.data());
      for (std::size_t p = 0; p < kPixels; ++p) {
        const unsigned char g = grey_pixel(src[3 * p], src[3 * p + 1], src[3 * p + 2]);
        if ((img[3 * p] != g || img[3 * p + 1] != g || img[3 * p + 2] != g) && ++wrong <= 3)
          ADD_FAILURE() << name << ": " << +src[3 * p] << " " << +src[3 * p + 1] << " "
                        << +src[3 * p + 2] << " gives " << +img[3 * p] << ", not " << +g;
      }
    }
    EXPECT_EQ(wrong, 0u) << name;
  }
}

// The documented pixels, independently of the formulas above.
TEST(Conversion, DocumentedPixels) {
  struct Case {
    int y, u, v, r, g, b;
  };
  Bytes yuv(kPixels * 3 / 2), rgb(kPixels * 3);
  for (const Case c : {Case{255, 128, 128, 255, 255, 255}, Case{0, 128, 255, 178, 0, 0}}) {
    std::fill(yuv.begin(), yuv.begin() + kPixels, c.y);
    std::fill(yuv.begin() + kPixels, yuv.begin() + kPixels * 5 / 4, c.u);
    std::fill(yuv.begin() + kPixels * 5 / 4, yuv.end(), c.v);
    ASSERT_EQ(imageProcess(yuv.data(), rgb.data()), 0);
    EXPECT_EQ((std::vector<int>{rgb[0], rgb[1], rgb[2]}), (std::vector<int>{c.r, c.g, c.b}));
    EXPECT_EQ((std::vector<int>{rgb.end()[-3], rgb.end()[-2], rgb.end()[-1]}),
              (std::vector<int>{c.r, c.g, c.b}));
  }
  EXPECT_EQ(imageProcess(yuv.data(), nullptr), -1);
  EXPECT_EQ(imageProcess(nullptr, rgb.data()), -1);

  const int grey_cases[][4] = {{255, 255, 255, 255},
                               {100, 100, 100, 100},
                               {10, 10, 10, 9},
                               {0, 200, 0, 118},
                               {200, 0, 0, 60}};
  Bytes img(kPixels * 3);
  for (std::size_t i = 0; i < 5; ++i) std::copy_n(grey_cases[i], 3, &img[3 * i]);
  ASSERT_EQ(into_greyscale(img.data()), 0);
  for (std::size_t i = 0; i < 5; ++i)
    EXPECT_EQ((std::vector<int>{img[3 * i], img[3 * i + 1], img[3 * i + 2]}),
              std::vector<int>(3, grey_cases[i][3]))
        << "grey case " << i;
  EXPECT_EQ(into_greyscale(nullptr), -1);
}

TEST(Conversion, Yuv420To444TakesEachChromaForItsBlock) {
  // 4 x 2: Y 0-7, then U (2 samples), then V (2 samples).
  const unsigned char in[12] = {0, 1, 2, 3, 4, 5, 6, 7, 100, 101, 200, 201};
  unsigned char out[24] = {};
  YUV420toYUV444(4, 2, in, out);
  for (int p = 0; p < 8; ++p) {
    const int k = (p % 4) / 2;
    EXPECT_EQ((std::vector<int>{out[3 * p], out[3 * p + 1], out[3 * p + 2]}),
              (std::vector<int>{p, 100 + k, 200 + k}))
        << "pixel " << p;
  }
  unsigned char untouched[3] = {9, 9, 9};
  YUV420toYUV444(0, 2, in, untouched);
  YUV420toYUV444(1, 1, in, nullptr);
  EXPECT_EQ(untouched[0], 9);
}

// ---- Filter

constexpr int kGx[9] = {-1, 0, 1, -2, 0, 2, -1, 0, 1};
constexpr int kGy[9] = {-1, -2, -1, 0, 0, 0, 1, 2, 1};
constexpr int kZero[25] = {};

Bytes grey_image(const std::function<int(int x, int y)> &value) {
  Bytes img(kPixels * 3);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x)
      std::fill_n(&img[3 * static_cast<std::size_t>(y * W + x)], 3, value(x, y));
  return img;
}
int at(const Bytes &img, int x, int y) {
  return img[3 * static_cast<std::size_t>(y * W + x)];
}
bool border_white(const Bytes &img, int hx, int hy) {
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x)
      if ((x < hx || x >= W - hx || y < hy || y >= H - hy) && at(img, x, y) != 255) return false;
  return true;
}

TEST(Filter, GradientKernelsOnFlatAndStepImages) {
  Bytes out(kPixels * 3);
  ASSERT_EQ(
      apply_filter(grey_image([](int, int) { return 77; }).data(), out.data(), kGx, kGy, 3, 3), 0);
  EXPECT_EQ(out, grey_image([](int, int) { return 255; }));

  // 0 left of column 300, 100 from it on: u = 400 on columns 299 and 300, so 0 there.
  ASSERT_EQ(apply_filter(grey_image([](int x, int) { return x < 300 ? 0 : 100; }).data(),
                         out.data(), kGx, kGy, 3, 3),
            0);
  EXPECT_TRUE(border_white(out, 1, 1));
  for (int x : {1, 298, 299, 300, 301, W - 2})
    EXPECT_EQ(at(out, x, H / 2), x == 299 || x == 300 ? 0 : 255) << "column " << x;
  EXPECT_EQ(out[3 * (240 * W + 299) + 1], 0);
  EXPECT_EQ(out[3 * (240 * W + 299) + 2], 0);
}

TEST(Filter, CentreKernelGivesTheNegativeWithAWhiteFrame) {
  const int centre[9] = {0, 0, 0, 0, 1, 0, 0, 0, 0};
  const Bytes src = grey_image([](int x, int y) { return (x * 7 + y * 3) % 256; });
  Bytes out(kPixels * 3);
  ASSERT_EQ(apply_filter(src.data(), out.data(), centre, kZero, 3, 3), 0);
  EXPECT_TRUE(border_white(out, 1, 1));
  EXPECT_EQ(at(out, 5, 9), 255 - at(src, 5, 9));
  EXPECT_EQ(at(out, W - 2, H - 2), 255 - at(src, W - 2, H - 2));
}

TEST(Filter, ArgumentsAreCheckedInOrderBeforeAnythingIsWritten) {
  Bytes src(kPixels * 3, 1), dst(kPixels * 3, 7);
  EXPECT_EQ(apply_filter(nullptr, nullptr, kGx, kGy, 2, 2), -1);
  EXPECT_EQ(apply_filter(src.data(), nullptr, kGx, kGy, 2, 3), -2);
  EXPECT_EQ(apply_filter(src.data(), dst.data(), kGx, kGy, 2, 3), -3);
  EXPECT_EQ(apply_filter(src.data(), dst.data(), kGx, kGy, -3, 3), -3);
  EXPECT_EQ(apply_filter(src.data(), dst.data(), kGx, kGy, 3, 0), -4);
  EXPECT_EQ(apply_filter(src.data(), dst.data(), nullptr, kGy, 3, 3), -5);
  EXPECT_EQ(dst, Bytes(kPixels * 3, 7));
}

// Every form against the plain exact sums, on a noisy image with kernels of all signs; in place
// as well as into another buffer.
TEST(Filter, FastFormsAndInPlaceEqualTheExactSums) {
  std::mt19937 rng(11);
  const Bytes src = grey_image([&](int, int) { return static_cast<int>(rng() % 256); });
  std::uniform_int_distribution<int> small(-14, 14);
  int k1[9], k2[9];
  for (int i = 0; i < 9; ++i) k1[i] = small(rng), k2[i] = small(rng);
  Bytes want(kPixels * 3), out(kPixels * 3);
  tarsa::pixels::filter_scalar<long long>(src.data(), want.data(), W, H, k1, k2, 3, 3);
  ASSERT_EQ(apply_filter(src.data(), out.data(), k1, k2, 3, 3), 0);
  EXPECT_EQ(out, want);
  Bytes in_place = src;
  ASSERT_EQ(apply_filter(in_place.data(), in_place.data(), k1, k2, 3, 3), 0);
  EXPECT_EQ(in_place, want);
  tarsa::pixels::filter_scalar<int>(src.data(), out.data(), W, H, k1, k2, 3, 3);
  EXPECT_EQ(out, want);
}

TEST(Filter, LargerKernelsAreRowMajorWithAHalfWindowFrame) {
  // 5 columns by 3 rows; only the element 2 columns right of the centre, on the row above, is 1.
  int k[15] = {};
  k[0 * 5 + 4] = 1;
  const Bytes src = grey_image([](int x, int y) { return (x + 2 * y) % 200; });
  Bytes out(kPixels * 3);
  ASSERT_EQ(apply_filter(src.data(), out.data(), k, kZero, 5, 3), 0);
  EXPECT_TRUE(border_white(out, 2, 1));
  for (int x : {2, 100, W - 3})
    for (int y : {1, 200, H - 2})
      EXPECT_EQ(at(out, x, y), 255 - at(src, x + 2, y - 1)) << x << "," << y;

  // Sums far beyond 32 bits stay exact: 255 - (|a1| + |a2|) is 0, never a wrapped value.
  int huge[9];
  std::fill_n(huge, 9, 2000000000);
  ASSERT_EQ(apply_filter(src.data(), out.data(), huge, kZero, 3, 3), 0);
  EXPECT_EQ(at(out, 10, 10), 0);
  ASSERT_EQ(apply_filter(src.data(), out.data(), kZero, kZero, 1, 1), 0);
  EXPECT_EQ(out, grey_image([](int, int) { return 255; }));  // 1 x 1: no frame, all sums 0
}

// ---- JPEG files

// Decodes with djpeg: the image's bytes and its size, or empty when it cannot be read.
Bytes decode(const std::string &path, int &w, int &h) {
  Bytes out;
  std::FILE *p = ::popen(("djpeg -pnm '" + path + "' 2>/dev/null").c_str(), "r");
  if (p == nullptr) return out;
  int maxval = 0;
  if (std::fscanf(p, "P6 %d %d %d", &w, &h, &maxval) == 3 && std::fgetc(p) != EOF) {
    out.resize(std::size_t(w) * h * 3);
    out.resize(std::fread(out.data(), 1, out.size(), p));
  }
  ::pclose(p);
  return out;
}

std::string read_file(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

class Jpeg : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const auto &p : paths_) ::unlink(p.c_str());
  }
  const char *path(const std::string &name) {
    paths_.push_back(::testing::TempDir() + "camera-" + std::to_string(::getpid()) + "-" + name);
    return paths_.back().c_str();
  }
  std::vector<std::string> paths_;
  // A scene with smooth shading and hard edges.
  const Bytes image_ = [] {
    Bytes img(kPixels * 3);
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        unsigned char *p = &img[3 * static_cast<std::size_t>(y * W + x)];
        p[0] = static_cast<unsigned char>(x * 255 / W);
        p[1] = static_cast<unsigned char>(std::hypot(x - 300, y - 200) < 120 ? 220 : 40 + y / 4);
        p[2] = static_cast<unsigned char>((x / 64 + y / 64) % 2 ? 180 : 60);
      }
    return img;
  }();
};

TEST_F(Jpeg, ADecoderReadsTheFrameBackAtItsSize) {
  ASSERT_EQ(save_buffer_to_jpg(path("q70.jpg"), 70, image_.data()), 0);
  int w = 0, h = 0;
  const Bytes back = decode(paths_.back(), w, h);
  ASSERT_EQ(back.size(), image_.size()) << "djpeg could not read the file";
  EXPECT_EQ(w, W);
  EXPECT_EQ(h, H);
  double se = 0;
  for (std::size_t i = 0; i < back.size(); ++i) se += std::pow(back[i] - image_[i], 2.0);
  const double psnr = 10 * std::log10(255.0 * 255.0 / (se / static_cast<double>(back.size())));
  EXPECT_GT(psnr, 30.0);  // about 35 dB for this scene at quality 70
  RecordProperty("psnr_q70", std::to_string(psnr));
}

TEST_F(Jpeg, QualityAndImageChecksKeepWhatTheyShould) {
  const char *q100 = path("q100.jpg"), *q50 = path("q50.jpg"), *refused = path("refused.jpg");
  ASSERT_EQ(save_buffer_to_jpg(q50, 50, image_.data()), 0);
  ASSERT_EQ(save_buffer_to_jpg(q100, 100, image_.data()), 0);
  const std::string at100 = read_file(q100), at50 = read_file(q50);
  ASSERT_NE(at100, at50);

  // Refused before anything is written; jpegWrite then shows the quality and name kept.
  EXPECT_EQ(save_buffer_to_jpg(refused, 101, image_.data()), -1);
  EXPECT_EQ(save_buffer_to_jpg(refused, static_cast<unsigned>(-1), image_.data()), -1);
  EXPECT_NE(::access(refused, F_OK), 0);
  ASSERT_EQ(jpegWrite(image_.data()), 0);
  EXPECT_EQ(read_file(q100), at100);

  // A null image is refused too, but its quality is kept (the name is not).
  EXPECT_EQ(save_buffer_to_jpg(refused, 50, nullptr), -2);
  EXPECT_NE(::access(refused, F_OK), 0);
  ASSERT_EQ(jpegWrite(image_.data()), 0);
  EXPECT_EQ(read_file(q100), at50);
  EXPECT_EQ(jpegWrite(nullptr), -1);
}

TEST_F(Jpeg, FilesThatCannotBeWrittenGiveMinus3AndTheProgramGoesOn) {
  EXPECT_EQ(save_buffer_to_jpg("/nonexistent-dir/frame.jpg", 70, image_.data()), -3);
  // The device accepts the open and fails every write (ENOSPC): libjpeg's error must come back.
  EXPECT_EQ(save_buffer_to_jpg("/dev/full", 70, image_.data()), -3);
  EXPECT_EQ(save_buffer_to_jpg(path("after.jpg"), 70, image_.data()), 0);
}

// ---- JPEG in memory

std::string encoded(const Bytes &rgb, int w, int h, int quality) {
  unsigned char *jpeg = nullptr;
  std::size_t size = 0;
  EXPECT_EQ(vx_camera_encode_jpeg(rgb.data(), w, h, quality, &jpeg, &size), 0);
  std::string bytes(reinterpret_cast<const char *>(jpeg), size);
  vx_camera_free_jpeg(jpeg);
  return bytes;
}

TEST_F(Jpeg, MemoryBytesAreTheFileBytes) {
  for (const int quality : {0, 70, 100}) {
    const char *file = path("q" + std::to_string(quality) + ".jpg");
    ASSERT_EQ(save_buffer_to_jpg(file, static_cast<unsigned>(quality), image_.data()), 0);
    EXPECT_EQ(encoded(image_, W, H, quality), read_file(file)) << "quality " << quality;
  }
  // Its own size, not the module's: an odd one decodes back at that size.
  const char *small = path("5x3.jpg");
  std::ofstream(small, std::ios::binary) << encoded(Bytes(5 * 3 * 3, 200), 5, 3, 90);
  int w = 0, h = 0;
  EXPECT_EQ(decode(small, w, h), Bytes(5 * 3 * 3, 200));
  EXPECT_EQ(w, 5);
  EXPECT_EQ(h, 3);
}

// Refusals leave nothing held (the sanitizer build checks for leaks) and clear the outputs.
TEST(JpegMemory, RefusalsComeBackWithNothingHeld) {
  const Bytes rgb(65501 * 3, 9);
  unsigned char stale = 0;
  unsigned char *jpeg = &stale;
  std::size_t size = 7;
  const auto call = [&](int w, int h, int quality) {
    jpeg = &stale;
    size = 7;
    return vx_camera_encode_jpeg(rgb.data(), w, h, quality, &jpeg, &size);
  };
  struct Case {
    int w, h, quality, result;
  };
  for (const Case c :
       {Case{0, 0, 70, VX_CAMERA_ENCODE_BAD_SIZE}, Case{-4, 3, 70, VX_CAMERA_ENCODE_BAD_SIZE},
        Case{65501, 1, 70, VX_CAMERA_ENCODE_BAD_SIZE},  // refused by libjpeg
        Case{INT_MAX, INT_MAX, 70, VX_CAMERA_ENCODE_BAD_SIZE},
        Case{1, 1, 101, VX_CAMERA_ENCODE_BAD_QUALITY},
        Case{1, 1, -1, VX_CAMERA_ENCODE_BAD_QUALITY}}) {
    EXPECT_EQ(call(c.w, c.h, c.quality), c.result) << c.w << " x " << c.h << " q" << c.quality;
    EXPECT_EQ(jpeg, nullptr);
    EXPECT_EQ(size, 0u);
  }
  EXPECT_EQ(call(65500, 1, 70), 0);  // the largest side is taken
  EXPECT_GT(size, 0u);
  vx_camera_free_jpeg(jpeg);

  EXPECT_EQ(vx_camera_encode_jpeg(nullptr, 1, 1, 70, &jpeg, &size), VX_CAMERA_ENCODE_NULL);
  EXPECT_EQ(jpeg, nullptr);
  EXPECT_EQ(vx_camera_encode_jpeg(rgb.data(), 1, 1, 70, nullptr, &size), VX_CAMERA_ENCODE_NULL);
  EXPECT_EQ(vx_camera_encode_jpeg(rgb.data(), 1, 1, 70, &jpeg, nullptr), VX_CAMERA_ENCODE_NULL);
  vx_camera_free_jpeg(nullptr);
}

// ---- Capture calls without a camera

TEST(Capture, CallsBeforeAnyCameraIsOpenAreRefused) {
  Bytes rgb(kPixels * 3);
  EXPECT_EQ(take_one_image(rgb.data()), -1);
  EXPECT_EQ(take_one_image(nullptr), -1);
  EXPECT_EQ(vx_camera_release(), -1);
  EXPECT_EQ(deviceUninit(), 0);
}

// The pipeline scripts come from PATH; here from a scratch directory, with the exit status asked.
TEST(Capture, PipelineScriptFailuresComeFirst) {
  if (::access(VX_CAMERA_DEVICE, F_OK) == 0) GTEST_SKIP() << "this machine has " VX_CAMERA_DEVICE;
  const std::string dir = ::testing::TempDir() + "camera-path-" + std::to_string(::getpid());
  ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
  const auto script = [&](const char *name, int status) {
    const std::string file = dir + "/" + name;
    std::ofstream(file) << "#!/bin/sh\necho \"$0 $*\" >> " << dir << "/calls\nexit " << status
                        << "\n";
    ::chmod(file.c_str(), 0755);
  };
  const std::string saved = std::getenv("PATH");
  ::setenv("PATH", (dir + ":" + saved).c_str(), 1);
  int w = 640, h = 480;

  script("media-pipes.sh", 3);
  EXPECT_EQ(vx_camera_init(&w, &h), -6);
  script("media-pipes.sh", 0);
  script("media-formats.sh", 1);
  EXPECT_EQ(vx_camera_init(&w, &h), -8);
  script("media-formats.sh", 0);
  EXPECT_EQ(vx_camera_init(&w, &h), -4);  // no capture node on this machine
  EXPECT_EQ(read_file(dir + "/calls"), dir + "/media-pipes.sh \n" + dir + "/media-pipes.sh \n" +
                                           dir + "/media-formats.sh 640 480\n" + dir +
                                           "/media-pipes.sh \n" + dir +
                                           "/media-formats.sh 640 480\n");
  EXPECT_EQ(w, 640);

  ::setenv("PATH", saved.c_str(), 1);
  std::system(("rm -r '" + dir + "'").c_str());
}

}  // namespace
