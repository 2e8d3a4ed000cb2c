// The camera's pixel formulas in exact integer form (YUV 4:2:0 to RGB, grey, two-kernel filter),
// scalar and, on x86, AVX2 chosen at run time. Results equal the double-precision formulas
// bit for bit; the comments say why, the camera tests check every input.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TARSA_PIXELS_X86 1
#endif

namespace tarsa::pixels {

// ---- The formulas as written, in double precision: the reference, and the rare exact cases.
// Each operation rounds on its own: the camera module is built with -ffp-contract=off, as a fused
// multiply-add would change results.

constexpr std::uint8_t clamp_trunc(double v) {
  return v >= 255 ? 255 : v <= 0 ? 0 : static_cast<std::uint8_t>(v);
}
constexpr std::uint8_t r_formula(int y, int v) {
  return clamp_trunc(y + 1.402 * (v - 128));
}
constexpr std::uint8_t g_formula(int y, int u, int v) {
  return clamp_trunc(y - 0.344 * (u - 128) - 0.714 * (v - 128));
}
constexpr std::uint8_t b_formula(int y, int u) {
  return clamp_trunc(y + 1.772 * (u - 128));
}
constexpr std::uint8_t grey_formula(int r, int g, int b) {
  return static_cast<std::uint8_t>((0.59 * g + 0.3 * r) + 0.11 * b);
}

// ---- YUV to RGB.
//
// Each channel is Y plus an offset that only the chroma gives: R = Y + 1.402 dv,
// B = Y + 1.772 du, G = Y - (0.344 du + 0.714 dv), with du = U - 128, dv = V - 128. Scaled by
// 1000 these offsets are integers, so their fractional parts are multiples of 1/500: unless an
// offset is a whole number, the double result lies at least 0.002 from any integer and no
// rounding of the double arithmetic can move it across one. Then truncating the clamped double
// equals clamping Y + floor(offset). Whole offsets: 1.402 dv and 1.772 du only for 0, where the
// double arithmetic is exact; 0.344 du + 0.714 dv for 132 (U, V) pairs besides (128, 128), where
// the double result can land just below the integer for some Y. Those pairs ("inexact") take G
// from the double formula.

constexpr int floor_div(int n, int d) {
  return n / d - (n % d != 0 && n < 0 ? 1 : 0);
}

// Two 16-bit coefficients (a for the low lane, b for the high one) as the 32-bit pair that the
// SIMD forms' multiply-add takes.
constexpr int pair16(int a, int b) {
  return static_cast<int>(static_cast<std::uint32_t>(static_cast<std::uint16_t>(b)) << 16 |
                          static_cast<std::uint16_t>(a));
}

struct Chroma {
  int r, g, b;   // floor of the offsets
  bool inexact;  // G's offset is a non-zero whole number: take G from the double formula
};

constexpr Chroma chroma(int u, int v) {
  const int du = u - 128, dv = v - 128;
  const int ng = -(344 * du + 714 * dv);
  return {floor_div(1402 * dv, 1000), floor_div(ng, 1000), floor_div(1772 * du, 1000),
          ng != 0 && ng % 1000 == 0};
}

constexpr std::uint8_t clip(int v) {
  return static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
}

inline void put_rgb(std::uint8_t *o, int y, const Chroma &c) {
  o[0] = clip(y + c.r);
  o[1] = clip(y + c.g);
  o[2] = clip(y + c.b);
}

// Bytes that a frame of w x h needs when read with the chroma index of the formulas
// (k = ((y / 2) w) / 2 + x / 2, also for odd sizes).
inline std::size_t yuv420_bytes(int w, int h) {
  if (w <= 0 || h <= 0) return 0;
  const std::size_t wh = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
  const std::size_t kmax = static_cast<std::size_t>(((h - 1) / 2) * static_cast<long>(w) / 2) +
                           static_cast<std::size_t>((w - 1) / 2);
  return wh + wh / 4 + kmax + 1;
}

// Any size, pixel by pixel, with the formulas' own chroma index.
inline void yuv420_to_rgb_any(const std::uint8_t *yuv, std::uint8_t *rgb, int w, int h) {
  const std::size_t wh = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
  const std::uint8_t *up = yuv + wh, *vp = yuv + wh + wh / 4;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const std::size_t p =
          static_cast<std::size_t>(y) * static_cast<std::size_t>(w) + static_cast<std::size_t>(x);
      const std::size_t k = static_cast<std::size_t>(((y / 2) * static_cast<long>(w)) / 2 + x / 2);
      const int Y = yuv[p], U = up[k], V = vp[k];
      const Chroma c = chroma(U, V);
      put_rgb(rgb + 3 * p, Y, c);
      if (c.inexact) rgb[3 * p + 1] = g_formula(Y, U, V);
    }
  }
}

// Even sizes: one chroma sample serves a 2 x 2 block.
inline void yuv420_to_rgb_scalar(const std::uint8_t *yuv, std::uint8_t *rgb, int w, int h) {
  const std::size_t W = static_cast<std::size_t>(w), cw = W / 2;
  const std::uint8_t *up = yuv + W * static_cast<std::size_t>(h), *vp = up + cw * (h / 2);
  for (std::size_t j = 0; j < static_cast<std::size_t>(h / 2); ++j) {
    const std::uint8_t *y0 = yuv + 2 * j * W, *y1 = y0 + W;
    std::uint8_t *o0 = rgb + 6 * j * W, *o1 = o0 + 3 * W;
    for (std::size_t i = 0; i < cw; ++i) {
      const int U = up[j * cw + i], V = vp[j * cw + i];
      const Chroma c = chroma(U, V);
      put_rgb(o0 + 6 * i, y0[2 * i], c);
      put_rgb(o0 + 6 * i + 3, y0[2 * i + 1], c);
      put_rgb(o1 + 6 * i, y1[2 * i], c);
      put_rgb(o1 + 6 * i + 3, y1[2 * i + 1], c);
      if (c.inexact) {
        o0[6 * i + 1] = g_formula(y0[2 * i], U, V);
        o0[6 * i + 4] = g_formula(y0[2 * i + 1], U, V);
        o1[6 * i + 1] = g_formula(y1[2 * i], U, V);
        o1[6 * i + 4] = g_formula(y1[2 * i + 1], U, V);
      }
    }
  }
}

// ---- Grey.
//
// (0.59 G + 0.3 R) + 0.11 B is n / 100 with n = 59 G + 30 R + 11 B. When 100 does not divide n
// the value is at least 0.01 from an integer and the truncated double is n / 100. When it does
// (about one pixel in a hundred, and every grey pixel), the double sum lands on the integer or
// just below it (10, 10, 10 gives 9.999999999999998) depending on all three values: those pixels
// take the formula itself, grey ones from a table of its 256 results.

inline constexpr std::array<std::uint8_t, 256> kGreyOfGrey = [] {
  std::array<std::uint8_t, 256> t{};
  for (int v = 0; v < 256; ++v) t[static_cast<std::size_t>(v)] = grey_formula(v, v, v);
  return t;
}();

// For n a multiple of 100.
inline std::uint8_t grey_whole(int r, int g, int b) {
  return r == g && g == b ? kGreyOfGrey[static_cast<std::size_t>(r)] : grey_formula(r, g, b);
}

inline std::uint8_t grey_exact(int r, int g, int b) {
  const int n = 59 * g + 30 * r + 11 * b;
  return n % 100 != 0 ? static_cast<std::uint8_t>(n / 100) : grey_whole(r, g, b);
}

inline void grey_scalar(std::uint8_t *rgb, std::size_t pixels) {
  for (std::size_t i = 0; i < pixels; ++i, rgb += 3)
    rgb[0] = rgb[1] = rgb[2] = grey_exact(rgb[0], rgb[1], rgb[2]);
}

// ---- Two-kernel filter.
//
// A pixel inside the frame is 255 - (|a1| + |a2|), 0 below zero, where a1 and a2 are the kernel
// sums over the R bytes. `Acc` is wide enough for every sum when the caller says so; the AVX2
// path takes 3 x 3 kernels whose sums fit 16 bits.

inline void fill_white(std::uint8_t *p, std::size_t pixels) {
  for (std::size_t i = 0; i < 3 * pixels; ++i) p[i] = 255;
}

constexpr std::uint8_t inverted_magnitude(long long a1, long long a2) {
  const unsigned long long u = static_cast<unsigned long long>(a1 < 0 ? -a1 : a1) +
                               static_cast<unsigned long long>(a2 < 0 ? -a2 : a2);
  return static_cast<std::uint8_t>(u <= 255 ? 255 - u : 0);
}

template <typename Acc>
void filter_scalar(const std::uint8_t *src, std::uint8_t *dst, int w, int h, const int *k1,
                   const int *k2, int sx, int sy) {
  const std::size_t W = static_cast<std::size_t>(w);
  const int hx = (sx - 1) / 2, hy = (sy - 1) / 2;
  // A copy of the R bytes, so that dst may be src.
  std::vector<std::uint8_t> plane(W * static_cast<std::size_t>(h));
  for (std::size_t i = 0; i < plane.size(); ++i) plane[i] = src[3 * i];
  for (int y = 0; y < h; ++y) {
    std::uint8_t *out = dst + 3 * W * static_cast<std::size_t>(y);
    if (y < hy || y >= h - hy) {
      fill_white(out, W);
      continue;
    }
    for (int x = 0; x < w; ++x) {
      std::uint8_t value = 255;
      if (x >= hx && x < w - hx) {
        Acc a1 = 0, a2 = 0;
        for (int j = 0; j < sy; ++j) {
          const std::uint8_t *s = plane.data() + W * static_cast<std::size_t>(y - hy + j) +
                                  static_cast<std::size_t>(x - hx);
          const int *r1 = k1 + static_cast<std::size_t>(j) * static_cast<std::size_t>(sx);
          const int *r2 = k2 + static_cast<std::size_t>(j) * static_cast<std::size_t>(sx);
          for (int i = 0; i < sx; ++i) {
            a1 += static_cast<Acc>(r1[i]) * s[i];
            a2 += static_cast<Acc>(r2[i]) * s[i];
          }
        }
        value = inverted_magnitude(a1, a2);
      }
      out[3 * x] = out[3 * x + 1] = out[3 * x + 2] = value;
    }
  }
}

// Sum of |k| over a kernel: with 255 times it below 2^15, every partial sum fits 16 bits.
inline long long abs_sum(const int *k, std::size_t n) {
  long long s = 0;
  for (std::size_t i = 0; i < n; ++i) s += std::llabs(static_cast<long long>(k[i]));
  return s;
}

// ---- AVX2 forms.

#ifdef TARSA_PIXELS_X86

inline bool have_avx2() {
  static const bool yes = __builtin_cpu_supports("avx2");
  return yes;
}

namespace avx2 {

// Byte masks that spread 16 pixels of three planes into 48 interleaved bytes (or gather them
// back): entry [k][c][i] is the source index for output byte 16 k + i of channel c, else 0x80.
struct Masks {
  alignas(32) std::uint8_t spread[3][3][32];
  alignas(32) std::uint8_t gather[3][3][32];
  alignas(32) std::uint8_t triple[3][32];
};
constexpr Masks make_masks() {
  Masks m{};
  for (int k = 0; k < 3; ++k) {
    for (int i = 0; i < 32; ++i) {
      const int byte = 16 * k + i % 16;  // both 128-bit lanes alike
      for (int c = 0; c < 3; ++c) {
        m.spread[k][c][i] = static_cast<std::uint8_t>(byte % 3 == c ? byte / 3 : 0x80);
        // pixel p (= i % 16) of channel c sits at byte 3 p + c; chunk k holds 16 k .. 16 k + 15
        const int at = 3 * (i % 16) + c - 16 * k;
        m.gather[k][c][i] = static_cast<std::uint8_t>(at >= 0 && at < 16 ? at : 0x80);
      }
      m.triple[k][i] = static_cast<std::uint8_t>(byte / 3);
    }
  }
  return m;
}
inline constexpr Masks kMasks = make_masks();

#define TARSA_AVX2 __attribute__((target("avx2")))

TARSA_AVX2 inline __m256i mask(const std::uint8_t (&m)[32]) {
  return _mm256_load_si256(reinterpret_cast<const __m256i *>(m));
}

// Stores 32 pixels whose three channels are bytes, lane 0 holding pixels 0-15, lane 1 16-31.
TARSA_AVX2 inline void store_rgb(std::uint8_t *out, __m256i r, __m256i g, __m256i b) {
  __m256i o[3];
  for (int k = 0; k < 3; ++k)
    o[k] = _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(r, mask(kMasks.spread[k][0])),
                                           _mm256_shuffle_epi8(g, mask(kMasks.spread[k][1]))),
                           _mm256_shuffle_epi8(b, mask(kMasks.spread[k][2])));
  auto *p = reinterpret_cast<__m256i *>(out);
  _mm256_storeu_si256(p, _mm256_permute2x128_si256(o[0], o[1], 0x20));
  _mm256_storeu_si256(p + 1, _mm256_permute2x128_si256(o[2], o[0], 0x30));
  _mm256_storeu_si256(p + 2, _mm256_permute2x128_si256(o[1], o[2], 0x31));
}

// Stores 32 grey pixels (lanes as store_rgb) as three equal bytes each.
TARSA_AVX2 inline void store_grey(std::uint8_t *out, __m256i v) {
  __m256i o[3];
  for (int k = 0; k < 3; ++k) o[k] = _mm256_shuffle_epi8(v, mask(kMasks.triple[k]));
  auto *p = reinterpret_cast<__m256i *>(out);
  _mm256_storeu_si256(p, _mm256_permute2x128_si256(o[0], o[1], 0x20));
  _mm256_storeu_si256(p + 1, _mm256_permute2x128_si256(o[2], o[0], 0x30));
  _mm256_storeu_si256(p + 2, _mm256_permute2x128_si256(o[1], o[2], 0x31));
}

// Loads 32 pixels (96 bytes) as three chunks, lane 0 from pixels 0-15, lane 1 from 16-31.
struct Chunks {
  __m256i c[3];
};
TARSA_AVX2 inline Chunks load_rgb(const std::uint8_t *in) {
  Chunks ch;
  for (int k = 0; k < 3; ++k)
    ch.c[k] = _mm256_loadu2_m128i(reinterpret_cast<const __m128i *>(in + 48 + 16 * k),
                                  reinterpret_cast<const __m128i *>(in + 16 * k));
  return ch;
}
TARSA_AVX2 inline __m256i channel(const Chunks &ch, int c) {
  return _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(ch.c[0], mask(kMasks.gather[0][c])),
                                         _mm256_shuffle_epi8(ch.c[1], mask(kMasks.gather[1][c]))),
                         _mm256_shuffle_epi8(ch.c[2], mask(kMasks.gather[2][c])));
}

// floor(n / 1000) for |n| < 2^24. In float, n * 0.001 is within 3e-5 of n / 1000, and the
// fractional part of n / 1000 lies in [0, 0.999]: adding 0.0005 keeps floor exact.
TARSA_AVX2 inline __m256i floor_div1000(__m256i n) {
  const __m256 q = _mm256_add_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(n), _mm256_set1_ps(0.001f)),
                                 _mm256_set1_ps(0.0005f));
  return _mm256_cvttps_epi32(_mm256_floor_ps(q));
}

// Even width of 32 or more, even height.
TARSA_AVX2 inline void yuv420_to_rgb(const std::uint8_t *yuv, std::uint8_t *rgb, int w, int h) {
  const std::size_t W = static_cast<std::size_t>(w), cw = W / 2;
  const std::uint8_t *up = yuv + W * static_cast<std::size_t>(h), *vp = up + cw * (h / 2);
  const __m256i k128 = _mm256_set1_epi16(128), zero = _mm256_setzero_si256();
  const __m256i coef_r = _mm256_set1_epi32(pair16(0, 1402));
  const __m256i coef_g = _mm256_set1_epi32(pair16(-344, -714));
  const __m256i coef_b = _mm256_set1_epi32(pair16(1772, 0));
  const __m256i k1000 = _mm256_set1_epi32(1000);

  for (std::size_t j = 0; j < static_cast<std::size_t>(h / 2); ++j) {
    const std::uint8_t *urow = up + j * cw, *vrow = vp + j * cw;
    const std::uint8_t *y0 = yuv + 2 * j * W, *y1 = y0 + W;
    std::uint8_t *o0 = rgb + 6 * j * W, *o1 = o0 + 3 * W;
    // 16 chroma samples (32 pixels on each of two rows) at a time; the last block may overlap
    // the one before, which only writes the same bytes again.
    for (std::size_t i = 0; i < cw; i += 16) {
      if (i + 16 > cw) i = cw - 16;
      const __m256i du = _mm256_sub_epi16(
          _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(urow + i))), k128);
      const __m256i dv = _mm256_sub_epi16(
          _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(vrow + i))), k128);
      // (du, dv) pairs: samples 0-3 | 8-11 and 4-7 | 12-15; packing brings the order back.
      const __m256i lo = _mm256_unpacklo_epi16(du, dv), hi = _mm256_unpackhi_epi16(du, dv);
      const __m256i ro = _mm256_packs_epi32(floor_div1000(_mm256_madd_epi16(lo, coef_r)),
                                            floor_div1000(_mm256_madd_epi16(hi, coef_r)));
      const __m256i bo = _mm256_packs_epi32(floor_div1000(_mm256_madd_epi16(lo, coef_b)),
                                            floor_div1000(_mm256_madd_epi16(hi, coef_b)));
      const __m256i nlo = _mm256_madd_epi16(lo, coef_g), nhi = _mm256_madd_epi16(hi, coef_g);
      const __m256i qlo = floor_div1000(nlo), qhi = floor_div1000(nhi);
      const __m256i go = _mm256_packs_epi32(qlo, qhi);
      const __m256i wlo =
          _mm256_andnot_si256(_mm256_cmpeq_epi32(nlo, _mm256_setzero_si256()),
                              _mm256_cmpeq_epi32(_mm256_mullo_epi32(qlo, k1000), nlo));
      const __m256i whi =
          _mm256_andnot_si256(_mm256_cmpeq_epi32(nhi, _mm256_setzero_si256()),
                              _mm256_cmpeq_epi32(_mm256_mullo_epi32(qhi, k1000), nhi));
      const unsigned inexact =
          static_cast<unsigned>(_mm256_movemask_epi8(_mm256_packs_epi32(wlo, whi)));

      // Pixels 0-7 | 16-23 take samples 0-3 | 8-11, each twice; 8-15 | 24-31 take 4-7 | 12-15.
      const __m256i rl = _mm256_unpacklo_epi16(ro, ro), rh = _mm256_unpackhi_epi16(ro, ro);
      const __m256i gl = _mm256_unpacklo_epi16(go, go), gh = _mm256_unpackhi_epi16(go, go);
      const __m256i bl = _mm256_unpacklo_epi16(bo, bo), bh = _mm256_unpackhi_epi16(bo, bo);
      for (int row = 0; row < 2; ++row) {
        const __m256i y8 =
            _mm256_loadu_si256(reinterpret_cast<const __m256i *>((row ? y1 : y0) + 2 * i));
        const __m256i yl = _mm256_unpacklo_epi8(y8, zero), yh = _mm256_unpackhi_epi8(y8, zero);
        store_rgb((row ? o1 : o0) + 6 * i,
                  _mm256_packus_epi16(_mm256_add_epi16(yl, rl), _mm256_add_epi16(yh, rh)),
                  _mm256_packus_epi16(_mm256_add_epi16(yl, gl), _mm256_add_epi16(yh, gh)),
                  _mm256_packus_epi16(_mm256_add_epi16(yl, bl), _mm256_add_epi16(yh, bh)));
      }
      for (unsigned m = inexact; m != 0; m &= m - 1) {
        const std::size_t s = i + static_cast<std::size_t>(__builtin_ctz(m) / 2);
        m &= m - 1;  // two mask bits per sample
        const int U = urow[s], V = vrow[s];
        o0[6 * s + 1] = g_formula(y0[2 * s], U, V);
        o0[6 * s + 4] = g_formula(y0[2 * s + 1], U, V);
        o1[6 * s + 1] = g_formula(y1[2 * s], U, V);
        o1[6 * s + 4] = g_formula(y1[2 * s + 1], U, V);
      }
    }
  }
}

// Grey in place, 32 pixels at a time; the rest (fewer than 32) by the scalar form.
TARSA_AVX2 inline void grey(std::uint8_t *rgb, std::size_t pixels) {
  const __m256i w_rg = _mm256_set1_epi16(59 << 8 | 30), w_b = _mm256_set1_epi16(11);
  const __m256i k100 = _mm256_set1_epi16(100), inv100 = _mm256_set1_epi16(5243);
  const __m256i zero = _mm256_setzero_si256();
  std::size_t p = 0;
  for (; p + 32 <= pixels; p += 32) {
    std::uint8_t *px = rgb + 3 * p;
    const Chunks ch = load_rgb(px);
    const __m256i r = channel(ch, 0), g = channel(ch, 1), b = channel(ch, 2);
    // Pixels 0-7 | 16-23 in 16-bit lanes, then 8-15 | 24-31; packing brings the order back.
    const __m256i rg[2] = {_mm256_unpacklo_epi8(r, g), _mm256_unpackhi_epi8(r, g)};
    const __m256i bz[2] = {_mm256_unpacklo_epi8(b, zero), _mm256_unpackhi_epi8(b, zero)};
    __m256i q[2], whole[2];
    for (int half = 0; half < 2; ++half) {
      const __m256i n =
          _mm256_add_epi16(_mm256_maddubs_epi16(rg[half], w_rg), _mm256_mullo_epi16(bz[half], w_b));
      // n / 100 = (n * 5243) >> 19 for n <= 25500
      q[half] = _mm256_srli_epi16(_mm256_mulhi_epu16(n, inv100), 3);
      whole[half] = _mm256_cmpeq_epi16(_mm256_mullo_epi16(q[half], k100), n);
    }
    __m256i v = _mm256_packus_epi16(q[0], q[1]);
    const unsigned multiple =
        static_cast<unsigned>(_mm256_movemask_epi8(_mm256_packs_epi16(whole[0], whole[1])));
    if (multiple != 0) {
      alignas(32) std::uint8_t tmp[32];
      _mm256_store_si256(reinterpret_cast<__m256i *>(tmp), v);
      for (unsigned m = multiple; m != 0; m &= m - 1) {
        const unsigned i = static_cast<unsigned>(__builtin_ctz(m));
        tmp[i] = grey_whole(px[3 * i], px[3 * i + 1], px[3 * i + 2]);
      }
      v = _mm256_load_si256(reinterpret_cast<const __m256i *>(tmp));
    }
    store_grey(px, v);
  }
  grey_scalar(rgb + 3 * p, pixels - p);
}

// R bytes of one row into a plane.
TARSA_AVX2 inline void r_plane(const std::uint8_t *row, std::uint8_t *plane, std::size_t w) {
  std::size_t x = 0;
  for (; x + 32 <= w; x += 32)
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(plane + x), channel(load_rgb(row + 3 * x), 0));
  for (; x < w; ++x) plane[x] = row[3 * x];
}

// 3 x 3 kernels with sum |k| <= 128, width of 18 or more.
TARSA_AVX2 inline void filter3x3(const std::uint8_t *src, std::uint8_t *dst, int w, int h,
                                 const int *k1, const int *k2) {
  const std::size_t W = static_cast<std::size_t>(w);
  __m256i c1[9], c2[9];
  for (int t = 0; t < 9; ++t) {
    c1[t] = _mm256_set1_epi16(static_cast<std::int16_t>(k1[t]));
    c2[t] = _mm256_set1_epi16(static_cast<std::int16_t>(k2[t]));
  }
  const __m256i k255 = _mm256_set1_epi16(255);
  // Rows y - 1, y and y + 1 of R bytes. Each is taken before dst overwrites it, so dst may be src.
  std::vector<std::uint8_t> planes(3 * W);
  std::uint8_t *row[3] = {planes.data(), planes.data() + W, planes.data() + 2 * W};
  r_plane(src, row[0], W);
  if (h > 1) r_plane(src + 3 * W, row[1], W);
  fill_white(dst, W);
  for (int y = 1; y < h - 1; ++y) {
    std::uint8_t *next = row[(y + 1) % 3];
    r_plane(src + 3 * W * static_cast<std::size_t>(y + 1), next, W);
    const std::uint8_t *rows[3] = {row[(y - 1) % 3], row[y % 3], next};
    std::uint8_t *out = dst + 3 * W * static_cast<std::size_t>(y);
    // Interior x from 1 to w - 2 in blocks of 16; the last block may overlap the one before.
    for (std::size_t x = 1; x < W - 1; x += 16) {
      if (x + 16 > W - 1) x = W - 17;
      __m256i a1 = _mm256_setzero_si256(), a2 = _mm256_setzero_si256();
      for (int dy = 0; dy < 3; ++dy) {
        for (int dx = 0; dx < 3; ++dx) {
          const __m256i s = _mm256_cvtepu8_epi16(
              _mm_loadu_si128(reinterpret_cast<const __m128i *>(rows[dy] + x + dx - 1)));
          a1 = _mm256_add_epi16(a1, _mm256_mullo_epi16(s, c1[dy * 3 + dx]));
          a2 = _mm256_add_epi16(a2, _mm256_mullo_epi16(s, c2[dy * 3 + dx]));
        }
      }
      const __m256i u = _mm256_add_epi16(_mm256_abs_epi16(a1), _mm256_abs_epi16(a2));
      const __m256i v = _mm256_subs_epu16(k255, u);
      const __m128i bytes =
          _mm256_castsi256_si128(_mm256_permute4x64_epi64(_mm256_packus_epi16(v, v), 0x08));
      for (int k = 0; k < 3; ++k)
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 3 * x + 16 * k),
                         _mm_shuffle_epi8(bytes, _mm256_castsi256_si128(mask(kMasks.triple[k]))));
    }
    out[0] = out[1] = out[2] = 255;
    out[3 * W - 3] = out[3 * W - 2] = out[3 * W - 1] = 255;
  }
  if (h > 1) fill_white(dst + 3 * W * static_cast<std::size_t>(h - 1), W);
}

#undef TARSA_AVX2

}  // namespace avx2

// ---- AVX-512 forms (byte permutes): 64 pixels at a time.

inline bool have_avx512() {
  static const bool yes =
      __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi");
  return yes;
}

namespace avx512 {

#define TARSA_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi")))

// Indices for 64 pixels of three channels and their 192 interleaved bytes. Byte 3 p + c of the
// pixels holds channel c of pixel p; output register k holds bytes 64 k to 64 k + 63.
struct Tables {
  // gather: channel c of pixel p from the first 128 bytes (low/high pair), else from the last 64
  alignas(64) std::uint8_t gather01[3][64];
  alignas(64) std::uint8_t gather2[3][64];
  std::uint64_t from2[3];
  // spread: output byte from R (0-63) or G (64-127), else B
  alignas(64) std::uint8_t spread_rg[3][64];
  alignas(64) std::uint8_t spread_b[3][64];
  std::uint64_t from_b[3];
  alignas(64) std::uint8_t triple[3][64];  // grey byte p to bytes 3 p, 3 p + 1, 3 p + 2
};
constexpr Tables make_tables() {
  Tables t{};
  for (int c = 0; c < 3; ++c) {
    for (int p = 0; p < 64; ++p) {
      const int at = 3 * p + c;
      t.gather01[c][p] = static_cast<std::uint8_t>(at < 128 ? at : 0);
      t.gather2[c][p] = static_cast<std::uint8_t>(at < 128 ? 0 : at - 128);
      if (at >= 128) t.from2[c] |= std::uint64_t{1} << p;
    }
  }
  for (int k = 0; k < 3; ++k) {
    for (int i = 0; i < 64; ++i) {
      const int byte = 64 * k + i, pixel = byte / 3, c = byte % 3;
      t.spread_rg[k][i] = static_cast<std::uint8_t>(c == 2 ? 0 : pixel + 64 * c);
      t.spread_b[k][i] = static_cast<std::uint8_t>(pixel);
      if (c == 2) t.from_b[k] |= std::uint64_t{1} << i;
      t.triple[k][i] = static_cast<std::uint8_t>(pixel);
    }
  }
  return t;
}
inline constexpr Tables kTables = make_tables();

// kGreyOfGrey in four registers' worth.
struct GreyTable {
  alignas(64) std::uint8_t part[4][64];
};
constexpr GreyTable make_grey_table() {
  GreyTable t{};
  for (int v = 0; v < 256; ++v) t.part[v / 64][v % 64] = kGreyOfGrey[static_cast<std::size_t>(v)];
  return t;
}
inline constexpr GreyTable kGreyTable = make_grey_table();

TARSA_AVX512 inline __m512i table(const std::uint8_t (&t)[64]) {
  return _mm512_load_si512(t);
}

TARSA_AVX512 inline __m512i channel(__m512i a0, __m512i a1, __m512i a2, int c) {
  const __m512i x = _mm512_permutex2var_epi8(a0, table(kTables.gather01[c]), a1);
  return _mm512_mask_permutexvar_epi8(x, kTables.from2[c], table(kTables.gather2[c]), a2);
}

TARSA_AVX512 inline void store_rgb(std::uint8_t *out, __m512i r, __m512i g, __m512i b) {
  for (int k = 0; k < 3; ++k) {
    const __m512i x = _mm512_permutex2var_epi8(r, table(kTables.spread_rg[k]), g);
    _mm512_storeu_si512(out + 64 * k, _mm512_mask_permutexvar_epi8(x, kTables.from_b[k],
                                                                   table(kTables.spread_b[k]), b));
  }
}

TARSA_AVX512 inline void store_grey(std::uint8_t *out, __m512i v) {
  for (int k = 0; k < 3; ++k)
    _mm512_storeu_si512(out + 64 * k,
                        _mm512_maskz_permutexvar_epi8(~__mmask64{0}, table(kTables.triple[k]), v));
}

// floor(n / 1000), as in the AVX2 form.
// (Zero-masked forms here and there: GCC 12's plain ones start from an undefined register, which
// its own warnings then flag.)
TARSA_AVX512 inline __m512i floor_div1000(__m512i n) {
  constexpr __mmask16 all = 0xffff;
  const __m512 q =
      _mm512_add_ps(_mm512_mul_ps(_mm512_maskz_cvtepi32_ps(all, n), _mm512_set1_ps(0.001f)),
                    _mm512_set1_ps(0.0005f));
  return _mm512_maskz_cvttps_epi32(
      all, _mm512_maskz_roundscale_ps(all, q, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC));
}

// 16-bit lane i of an unpacked (lo / hi) register, 0-31, is pixel (or sample) 16 (i / 8) + i % 8,
// + 8 for hi: the order within each 128-bit lane.
constexpr unsigned unpacked_index(unsigned i, unsigned hi) {
  return 16 * (i / 8) + i % 8 + 8 * hi;
}

// Even width of 64 or more, even height.
TARSA_AVX512 inline void yuv420_to_rgb(const std::uint8_t *yuv, std::uint8_t *rgb, int w, int h) {
  const std::size_t W = static_cast<std::size_t>(w), cw = W / 2;
  const std::uint8_t *up = yuv + W * static_cast<std::size_t>(h), *vp = up + cw * (h / 2);
  const __m512i k128 = _mm512_set1_epi16(128), zero = _mm512_setzero_si512();
  const __m512i coef_r = _mm512_set1_epi32(pair16(0, 1402)),
                coef_g = _mm512_set1_epi32(pair16(-344, -714));
  const __m512i coef_b = _mm512_set1_epi32(pair16(1772, 0));
  const __m512i k1000 = _mm512_set1_epi32(1000);

  for (std::size_t j = 0; j < static_cast<std::size_t>(h / 2); ++j) {
    const std::uint8_t *urow = up + j * cw, *vrow = vp + j * cw;
    const std::uint8_t *y0 = yuv + 2 * j * W, *y1 = y0 + W;
    std::uint8_t *o0 = rgb + 6 * j * W, *o1 = o0 + 3 * W;
    // 32 chroma samples (64 pixels on each of two rows); the last block may overlap.
    for (std::size_t i = 0; i < cw; i += 32) {
      if (i + 32 > cw) i = cw - 32;
      const __m512i du = _mm512_sub_epi16(
          _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(urow + i))),
          k128);
      const __m512i dv = _mm512_sub_epi16(
          _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(vrow + i))),
          k128);
      const __m512i lo = _mm512_unpacklo_epi16(du, dv), hi = _mm512_unpackhi_epi16(du, dv);
      const __m512i ro = _mm512_packs_epi32(floor_div1000(_mm512_madd_epi16(lo, coef_r)),
                                            floor_div1000(_mm512_madd_epi16(hi, coef_r)));
      const __m512i bo = _mm512_packs_epi32(floor_div1000(_mm512_madd_epi16(lo, coef_b)),
                                            floor_div1000(_mm512_madd_epi16(hi, coef_b)));
      const __m512i nlo = _mm512_madd_epi16(lo, coef_g), nhi = _mm512_madd_epi16(hi, coef_g);
      const __m512i qlo = floor_div1000(nlo), qhi = floor_div1000(nhi);
      const __m512i go = _mm512_packs_epi32(qlo, qhi);
      // 32-bit lane i of lo is sample unpacked_index-like: 8 (i / 4) + i % 4 (+ 4 for hi)
      const __mmask16 wlo = _mm512_mask_cmpeq_epi32_mask(_mm512_test_epi32_mask(nlo, nlo),
                                                         _mm512_mullo_epi32(qlo, k1000), nlo);
      const __mmask16 whi = _mm512_mask_cmpeq_epi32_mask(_mm512_test_epi32_mask(nhi, nhi),
                                                         _mm512_mullo_epi32(qhi, k1000), nhi);

      const __m512i rl = _mm512_unpacklo_epi16(ro, ro), rh = _mm512_unpackhi_epi16(ro, ro);
      const __m512i gl = _mm512_unpacklo_epi16(go, go), gh = _mm512_unpackhi_epi16(go, go);
      const __m512i bl = _mm512_unpacklo_epi16(bo, bo), bh = _mm512_unpackhi_epi16(bo, bo);
      for (int row = 0; row < 2; ++row) {
        const __m512i y8 = _mm512_loadu_si512((row ? y1 : y0) + 2 * i);
        const __m512i yl = _mm512_unpacklo_epi8(y8, zero), yh = _mm512_unpackhi_epi8(y8, zero);
        store_rgb((row ? o1 : o0) + 6 * i,
                  _mm512_packus_epi16(_mm512_add_epi16(yl, rl), _mm512_add_epi16(yh, rh)),
                  _mm512_packus_epi16(_mm512_add_epi16(yl, gl), _mm512_add_epi16(yh, gh)),
                  _mm512_packus_epi16(_mm512_add_epi16(yl, bl), _mm512_add_epi16(yh, bh)));
      }
      for (unsigned half = 0; half < 2; ++half) {
        for (unsigned m = half ? whi : wlo; m != 0; m &= m - 1) {
          const unsigned l = static_cast<unsigned>(__builtin_ctz(m));
          const std::size_t s = i + 8 * (l / 4) + l % 4 + 4 * half;
          const int U = urow[s], V = vrow[s];
          o0[6 * s + 1] = g_formula(y0[2 * s], U, V);
          o0[6 * s + 4] = g_formula(y0[2 * s + 1], U, V);
          o1[6 * s + 1] = g_formula(y1[2 * s], U, V);
          o1[6 * s + 4] = g_formula(y1[2 * s + 1], U, V);
        }
      }
    }
  }
}

// Grey in place, 64 pixels at a time; the rest by the scalar form.
TARSA_AVX512 inline void grey(std::uint8_t *rgb, std::size_t pixels) {
  const __m512i w_rg = _mm512_set1_epi16(59 << 8 | 30), w_b = _mm512_set1_epi16(11);
  const __m512i k100 = _mm512_set1_epi16(100), inv100 = _mm512_set1_epi16(5243);
  const __m512i zero = _mm512_setzero_si512();
  std::size_t p = 0;
  for (; p + 64 <= pixels; p += 64) {
    std::uint8_t *px = rgb + 3 * p;
    const __m512i a0 = _mm512_loadu_si512(px), a1 = _mm512_loadu_si512(px + 64),
                  a2 = _mm512_loadu_si512(px + 128);
    const __m512i r = channel(a0, a1, a2, 0), g = channel(a0, a1, a2, 1),
                  b = channel(a0, a1, a2, 2);
    const __m512i rg[2] = {_mm512_unpacklo_epi8(r, g), _mm512_unpackhi_epi8(r, g)};
    const __m512i bz[2] = {_mm512_unpacklo_epi8(b, zero), _mm512_unpackhi_epi8(b, zero)};
    __m512i q[2];
    __mmask32 whole[2];
    for (int half = 0; half < 2; ++half) {
      const __m512i n =
          _mm512_add_epi16(_mm512_maddubs_epi16(rg[half], w_rg), _mm512_mullo_epi16(bz[half], w_b));
      q[half] = _mm512_srli_epi16(_mm512_mulhi_epu16(n, inv100), 3);
      whole[half] = _mm512_cmpeq_epi16_mask(_mm512_mullo_epi16(q[half], k100), n);
    }
    __m512i v = _mm512_packus_epi16(q[0], q[1]);
    if ((whole[0] | whole[1]) != 0) {
      // Grey pixels take their value from the table at once; others one by one.
      const __mmask64 grey_px = _mm512_cmpeq_epi8_mask(r, g) & _mm512_cmpeq_epi8_mask(g, b);
      const __m512i lo =
          _mm512_permutex2var_epi8(table(kGreyTable.part[0]), r, table(kGreyTable.part[1]));
      const __m512i hi =
          _mm512_permutex2var_epi8(table(kGreyTable.part[2]), r, table(kGreyTable.part[3]));
      v = _mm512_mask_mov_epi8(v, grey_px, _mm512_mask_mov_epi8(lo, _mm512_movepi8_mask(r), hi));
      alignas(64) std::uint8_t tmp[64];
      bool patched = false;
      for (unsigned half = 0; half < 2; ++half) {
        for (unsigned m = whole[half]; m != 0; m &= m - 1) {
          const unsigned pix = unpacked_index(static_cast<unsigned>(__builtin_ctz(m)), half);
          if ((grey_px >> pix) & 1) continue;
          if (!patched) _mm512_store_si512(tmp, v);
          patched = true;
          tmp[pix] = grey_formula(px[3 * pix], px[3 * pix + 1], px[3 * pix + 2]);
        }
      }
      if (patched) v = _mm512_load_si512(tmp);
    }
    store_grey(px, v);
  }
  grey_scalar(rgb + 3 * p, pixels - p);
}

#undef TARSA_AVX512

}  // namespace avx512
#endif  // TARSA_PIXELS_X86

// ---- Entry points: the fastest form the machine has.

inline void yuv420_to_rgb(const std::uint8_t *yuv, std::uint8_t *rgb, int w, int h) {
  if (w <= 0 || h <= 0) return;
  if (w % 2 != 0 || h % 2 != 0) return yuv420_to_rgb_any(yuv, rgb, w, h);
#ifdef TARSA_PIXELS_X86
  if (w >= 64 && have_avx512()) return avx512::yuv420_to_rgb(yuv, rgb, w, h);
  if (w >= 32 && have_avx2()) return avx2::yuv420_to_rgb(yuv, rgb, w, h);
#endif
  yuv420_to_rgb_scalar(yuv, rgb, w, h);
}

inline void grey(std::uint8_t *rgb, std::size_t pixels) {
#ifdef TARSA_PIXELS_X86
  if (have_avx512()) return avx512::grey(rgb, pixels);
  if (have_avx2()) return avx2::grey(rgb, pixels);
#endif
  grey_scalar(rgb, pixels);
}

// Kernels of sy rows by sx columns (positive, odd), images of w x h (positive).
inline void filter(const std::uint8_t *src, std::uint8_t *dst, int w, int h, const int *k1,
                   const int *k2, int sx, int sy) {
  const std::size_t n = static_cast<std::size_t>(sx) * static_cast<std::size_t>(sy);
  if (2 * static_cast<long long>((sx - 1) / 2) >= w ||
      2 * static_cast<long long>((sy - 1) / 2) >= h)
    return fill_white(dst, static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
  const bool narrow = abs_sum(k1, n) * 255 <= 32767 && abs_sum(k2, n) * 255 <= 32767;
#ifdef TARSA_PIXELS_X86
  if (narrow && sx == 3 && sy == 3 && w >= 18 && have_avx2())
    return avx2::filter3x3(src, dst, w, h, k1, k2);
#endif
  if (narrow) return filter_scalar<std::int32_t>(src, dst, w, h, k1, k2, sx, sy);
  filter_scalar<long long>(src, dst, w, h, k1, k2, sx, sy);
}

}  // namespace tarsa::pixels
