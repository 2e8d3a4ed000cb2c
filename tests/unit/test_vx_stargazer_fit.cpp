// The StarGazer module's matrix routines on 1-based storage, and the ellipse fit on noisy
// circles and ellipses, too few points and points that determine no conic.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>
#include <vector>

#include "tarsa/vx_stargazer.h"
#include "test_vx_capture.h"

namespace {

constexpr double kPi = 3.141592653589793;

// A matrix of order n with stride n + 1, element (i, j) at i * (n + 1) + j.
struct Mat {
  explicit Mat(int order, double fill = 0.0) : n(order), v((order + 1) * (order + 1), fill) {}
  double &operator()(int i, int j) { return v[i * (n + 1) + j]; }
  double *data() { return v.data(); }
  int n;
  std::vector<double> v;
};

Mat identity(int n) {
  Mat m(n);
  for (int i = 1; i <= n; ++i) m(i, i) = 1.0;
  return m;
}

Mat random_symmetric(int n, std::mt19937 &rng) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  Mat m(n);
  for (int i = 1; i <= n; ++i)
    for (int j = i; j <= n; ++j) m(i, j) = m(j, i) = u(rng);
  return m;
}

Mat product(Mat a, Mat b) {
  Mat r(a.n);
  AperB(a.data(), b.data(), r.data(), a.n, a.n, a.n, a.n);
  return r;
}

void expect_near(Mat a, Mat b, double tol) {
  for (int i = 1; i <= a.n; ++i)
    for (int j = 1; j <= a.n; ++j)
      EXPECT_NEAR(a(i, j), b(i, j), tol) << "(" << i << "," << j << ")";
}

TEST(GazerMatrix, Inverse) {
  Mat inv(6, 7.0);
  EXPECT_EQ(inverse(identity(6).data(), inv.data(), 6), 0);
  expect_near(inv, identity(6), 0.0);

  // A row swap at the first column: the permutation is its own inverse.
  Mat swap(2);
  swap(1, 2) = swap(2, 1) = 1.0;
  Mat inv2(2);
  EXPECT_EQ(inverse(swap.data(), inv2.data(), 2), 0);
  expect_near(inv2, swap, 0.0);

  std::mt19937 rng(7);
  Mat a = random_symmetric(6, rng);
  for (int i = 1; i <= 6; ++i) a(i, 1) += 0.5 * i;  // not symmetric any more
  const Mat kept = a;
  EXPECT_EQ(inverse(a.data(), inv.data(), 6), 0);
  expect_near(product(a, inv), identity(6), 1e-9);
  EXPECT_EQ(a.v, kept.v) << "the input is left alone";

  Mat zero_row = identity(6);
  zero_row(4, 4) = 0.0;
  Mat untouched(6, 7.0);
  EXPECT_EQ(inverse(zero_row.data(), untouched.data(), 6), -1);
  EXPECT_EQ(untouched.v, Mat(6, 7.0).v);
  Mat seven = identity(7), out7(7);
  EXPECT_EQ(inverse(seven.data(), out7.data(), 7), -2);
}

TEST(GazerMatrix, Cholesky) {
  Mat a(2), l(2, 5.0);
  a(1, 1) = 4.0;
  a(2, 2) = 9.0;
  EXPECT_EQ(choldc(a.data(), 2, l.data()), 0);
  EXPECT_EQ(l(1, 1), 2.0);
  EXPECT_EQ(l(2, 2), 3.0);
  EXPECT_EQ(l(1, 2), 0.0);
  EXPECT_EQ(l(2, 1), 0.0);

  Mat bad(2), l_bad(2, 5.0);
  bad(1, 1) = bad(2, 2) = 1.0;
  bad(1, 2) = bad(2, 1) = 2.0;
  EXPECT_EQ(choldc(bad.data(), 2, l_bad.data()), -1);
  EXPECT_EQ(l_bad.v, Mat(2, 5.0).v);

  // L x transpose(L) gives back a positive definite matrix; only its upper triangle is read.
  std::mt19937 rng(11);
  Mat spd = random_symmetric(6, rng);
  for (int i = 1; i <= 6; ++i) spd(i, i) += 6.0;
  Mat upper = spd;
  for (int i = 1; i <= 6; ++i)
    for (int j = 1; j < i; ++j) upper(i, j) = 99.0;
  Mat l6(6), lt(6);
  EXPECT_EQ(choldc(upper.data(), 6, l6.data()), 0);
  for (int i = 1; i <= 6; ++i)
    for (int j = 1; j <= 6; ++j) {
      lt(i, j) = l6(j, i);
      if (j > i) {
        EXPECT_EQ(l6(i, j), 0.0);
      }
    }
  expect_near(product(l6, lt), spd, 1e-12);
  EXPECT_EQ(choldc(identity(7).data(), 7, Mat(7).data()), -2);
}

TEST(GazerMatrix, Jacobi) {
  Mat diag(3);
  diag(1, 1) = 3.0;
  diag(2, 2) = -1.0;
  diag(3, 3) = 2.0;
  std::array<double, 4> d{};
  Mat v(3, 9.0);
  int nrot = -1;
  EXPECT_EQ(jacobi(diag.data(), 3, d.data(), v.data(), &nrot), 0);
  EXPECT_EQ(nrot, 0);
  EXPECT_EQ(d[1], 3.0);
  EXPECT_EQ(d[2], -1.0);
  EXPECT_EQ(d[3], 2.0);
  expect_near(v, identity(3), 0.0);

  Mat two(2);
  two(1, 1) = two(2, 2) = 2.0;
  two(1, 2) = two(2, 1) = 1.0;
  std::array<double, 3> d2{};
  Mat v2(2);
  EXPECT_EQ(jacobi(two.data(), 2, d2.data(), v2.data(), &nrot), 0);
  EXPECT_EQ(nrot, 1);
  EXPECT_NEAR(d2[1], 1.0, 1e-15);
  EXPECT_NEAR(d2[2], 3.0, 1e-15);
  const double c = 1.0 / std::sqrt(2.0);
  EXPECT_NEAR(v2(1, 1), c, 1e-15);
  EXPECT_NEAR(v2(2, 1), -c, 1e-15);
  EXPECT_NEAR(v2(1, 2), c, 1e-15);
  EXPECT_NEAR(v2(2, 2), c, 1e-15);
  EXPECT_EQ(two(2, 1), 1.0) << "the lower triangle is not touched";

  // Order 6: a v_k = d_k v_k for every column of v.
  std::mt19937 rng(3);
  Mat a = random_symmetric(6, rng);
  Mat work = a, v6(6);
  std::array<double, 7> d6{};
  EXPECT_EQ(jacobi(work.data(), 6, d6.data(), v6.data(), &nrot), 0);
  for (int k = 1; k <= 6; ++k)
    for (int i = 1; i <= 6; ++i) {
      double av = 0.0;
      for (int j = 1; j <= 6; ++j) av += a(i, j) * v6(j, k);
      EXPECT_NEAR(av, d6[k] * v6(i, k), 1e-12);
    }
  EXPECT_NE(jacobi(identity(7).data(), 7, d6.data(), Mat(7).data(), &nrot), 0);
}

// The three products on rectangular operands, where a wrong stride shows.
TEST(GazerMatrix, ProductsAndTheirStrides) {
  // a: 2 x 3 (stride 4), b: 3 x 2 (stride 3).
  const double a[] = {0, 0, 0, 0, 0, 1, 2, 3, 0, 4, 5, 6};
  const double b[] = {0, 0, 0, 0, 7, 8, 0, 9, 10, 0, 11, 12};
  double r[3 * 3] = {};
  AperB(a, b, r, 2, 3, 3, 2);
  EXPECT_EQ(std::vector<double>(r + 4, r + 9), (std::vector<double>{58, 64, 0, 139, 154}));

  // transpose(a) x c with c: 2 x 2 (stride 3); r: 3 x 2.
  const double cm[] = {0, 0, 0, 0, 1, 2, 0, 3, 4};
  double rt[4 * 3] = {};
  A_TperB(a, cm, rt, 2, 3, 2, 2);
  EXPECT_EQ(std::vector<double>(rt + 4, rt + 12),
            (std::vector<double>{13, 18, 0, 17, 24, 0, 21, 30}));

  // e x transpose(f), both 2 x 2 (stride 3).
  const double e[] = {0, 0, 0, 0, 1, 2, 0, 3, 4};
  const double f[] = {0, 0, 0, 0, 5, 6, 0, 7, 8};
  double re[3 * 3] = {};
  AperB_T(e, f, re, 2, 2, 2, 2);
  EXPECT_EQ(std::vector<double>(re + 4, re + 9), (std::vector<double>{17, 23, 0, 39, 53}));

  double kept[3 * 3] = {0, 0, 0, 0, 5, 5, 0, 5, 5};
  AperB(a, b, kept, 0, 3, 3, 2);
  EXPECT_EQ(kept[4], 5.0);
  A_TperB(a, cm, rt, 0, 3, 2, 2);
  EXPECT_EQ(std::vector<double>(rt + 4, rt + 12), std::vector<double>(8, 0.0));
}

struct Fit {
  int rc;
  double x0 = 111, y0 = 111, angle = 111, a = 111, b = 111;
};

Fit fit(const std::vector<double> &x, const std::vector<double> &y) {
  Fit f{};
  f.rc = compute_ellipse(x.data(), y.data(), static_cast<int>(x.size()), &f.x0, &f.y0, &f.angle,
                         &f.a, &f.b);
  return f;
}

// `n` points of the ellipse with semi-axes a (along `turn_deg`) and b around (cx, cy), each
// coordinate disturbed by uniform noise of +-`noise`.
void ellipse(int n, double cx, double cy, double a, double b, double turn_deg, double noise,
             std::vector<double> &x, std::vector<double> &y) {
  std::mt19937 rng(42);
  std::uniform_real_distribution<double> u(-noise, noise);
  const double p = turn_deg * kPi / 180;
  x.clear();
  y.clear();
  for (int i = 0; i < n; ++i) {
    const double t = 2 * kPi * i / n;
    x.push_back(cx + a * std::cos(t) * std::cos(p) - b * std::sin(t) * std::sin(p) + u(rng));
    y.push_back(cy + a * std::cos(t) * std::sin(p) + b * std::sin(t) * std::cos(p) + u(rng));
  }
}

TEST(GazerEllipse, NoisyCircleAndEllipses) {
  std::vector<double> x, y;
  ellipse(36, 3, -2, 10, 10, 0, 0.1, x, y);
  Fit f = fit(x, y);
  ASSERT_EQ(f.rc, 0);
  EXPECT_NEAR(f.x0, 3, 0.05);
  EXPECT_NEAR(f.y0, -2, 0.05);
  EXPECT_NEAR(f.a, 10, 0.1);
  EXPECT_NEAR(f.b, 10, 0.1);

  ellipse(36, 5, 1, 4, 2, 30, 0.05, x, y);
  f = fit(x, y);
  ASSERT_EQ(f.rc, 0);
  EXPECT_NEAR(f.x0, 5, 0.02);
  EXPECT_NEAR(f.y0, 1, 0.02);
  EXPECT_NEAR(f.a, 4, 0.05);
  EXPECT_NEAR(f.b, 2, 0.05);
  EXPECT_NEAR(f.angle, 30, 1.0);

  // The first semi-axis lies along the orientation. Unturned, the fit may describe the ellipse
  // either way (the sign of the chosen conic decides): 4 along 0 degrees, or 2 along 90.
  ellipse(36, 5, 1, 4, 2, 0, 0.05, x, y);
  f = fit(x, y);
  ASSERT_EQ(f.rc, 0);
  const bool along_x = std::fabs(f.angle) < 1.0;
  EXPECT_TRUE(along_x || std::fabs(f.angle - 90) < 1.0) << f.angle;
  EXPECT_NEAR(f.a, along_x ? 4 : 2, 0.05);
  EXPECT_NEAR(f.b, along_x ? 2 : 4, 0.05);
}

TEST(GazerEllipse, TooFewTooManyAndDegeneratePoints) {
  std::vector<double> x, y;
  ellipse(5, 3, -2, 10, 10, 0, 0.1, x, y);
  Fit f = fit(x, y);
  EXPECT_EQ(f.rc, 0);
  EXPECT_EQ(f.x0, 111);
  EXPECT_EQ(f.y0, 111);
  EXPECT_EQ(f.angle, 111);
  EXPECT_EQ(f.a, 111);
  EXPECT_EQ(f.b, 111);

  // A robot that did not turn: thirty samples at one place.
  core_test::Capture out(1);
  f = fit(std::vector<double>(30, 1.0), std::vector<double>(30, 2.0));
  EXPECT_EQ(out.text(), "ERROR inverting matrix L may be singular!\n");
  EXPECT_EQ(f.rc, -1);
  EXPECT_EQ(f.x0, 111);
  EXPECT_EQ(f.a, 111);

  // More points than the design matrix holds are refused rather than written past its end.
  ellipse(VX_GAZER_MAX_POINTS + 1, 3, -2, 10, 10, 0, 0.1, x, y);
  f = fit(x, y);
  EXPECT_EQ(f.rc, -2);
  EXPECT_EQ(f.x0, 111);
  x.pop_back();
  y.pop_back();
  f = fit(x, y);
  EXPECT_EQ(f.rc, 0);
  EXPECT_NEAR(f.x0, 3, 0.05);
}

}  // namespace
