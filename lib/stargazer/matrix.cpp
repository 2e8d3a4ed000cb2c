// Dense matrix routines of order up to 6 for the StarGazer ellipse fit: products, Cholesky
// factor, Gauss-Jordan inverse and Jacobi eigen-decomposition, on 1-based row-major storage.
#include "stargazer/matrix.h"

#include <cmath>
#include <utility>

#include "tarsa/vx_stargazer.h"

namespace tarsa::matrix {

namespace {

constexpr int kStride = kMaxOrder + 1;
constexpr int kSweeps = 50;
constexpr double kPivotMin = 1e-19;

// Element (i, j) of a matrix stored with row stride `stride`.
inline double &at(double *m, int stride, int i, int j) {
  return m[i * stride + j];
}
inline double at(const double *m, int stride, int i, int j) {
  return m[i * stride + j];
}

}  // namespace

void rotate(double *a, int i, int j, int k, int l, double tau, double s, int n) {
  const int st = n + 1;
  const double g = at(a, st, i, j);
  const double h = at(a, st, k, l);
  at(a, st, i, j) = g - s * (h + g * tau);
  at(a, st, k, l) = h + s * (g - h * tau);
}

// Cyclic Jacobi with a threshold on the first three sweeps; rotations that can no longer change
// the diagonal are skipped from the fifth sweep on.
int jacobi(double *a, int n, double *d, double *v, int *nrot) {
  if (n > kMaxOrder) return kTooLarge;
  *nrot = 0;
  if (n <= 0) return 0;
  const int st = n + 1;
  double b[kStride], z[kStride];
  for (int p = 1; p <= n; ++p) {
    for (int q = 1; q <= n; ++q) at(v, st, p, q) = p == q ? 1.0 : 0.0;
    b[p] = d[p] = at(a, st, p, p);
    z[p] = 0.0;
  }
  for (int sweep = 1; sweep <= kSweeps; ++sweep) {
    double sm = 0.0;
    for (int p = 1; p < n; ++p)
      for (int q = p + 1; q <= n; ++q) sm += std::fabs(at(a, st, p, q));
    if (sm == 0.0) return 0;
    const double tresh = sweep < 4 ? 0.2 * sm / (n * n) : 0.0;
    for (int p = 1; p < n; ++p) {
      for (int q = p + 1; q <= n; ++q) {
        const double apq = at(a, st, p, q);
        const double g = 100.0 * std::fabs(apq);
        if (sweep > 4 && std::fabs(d[p]) + g == std::fabs(d[p]) &&
            std::fabs(d[q]) + g == std::fabs(d[q])) {
          at(a, st, p, q) = 0.0;
          continue;
        }
        if (!(std::fabs(apq) > tresh)) continue;
        double h = d[q] - d[p];
        double t;
        if (std::fabs(h) + g == std::fabs(h)) {
          t = apq / h;
        } else {
          const double theta = 0.5 * h / apq;
          t = 1.0 / (std::fabs(theta) + std::sqrt(1.0 + theta * theta));
          if (theta < 0.0) t = -t;
        }
        const double c = 1.0 / std::sqrt(1.0 + t * t);
        const double s = t * c;
        const double tau = s / (1.0 + c);
        h = t * apq;
        z[p] -= h;
        z[q] += h;
        d[p] -= h;
        d[q] += h;
        at(a, st, p, q) = 0.0;
        for (int j = 1; j < p; ++j) rotate(a, j, p, j, q, tau, s, n);
        for (int j = p + 1; j < q; ++j) rotate(a, p, j, j, q, tau, s, n);
        for (int j = q + 1; j <= n; ++j) rotate(a, p, j, q, j, tau, s, n);
        for (int j = 1; j <= n; ++j) rotate(v, j, p, j, q, tau, s, n);
        ++*nrot;
      }
    }
    for (int p = 1; p <= n; ++p) {
      b[p] += z[p];
      d[p] = b[p];
      z[p] = 0.0;
    }
  }
  return -1;
}

int choldc(double *a, int n, double *l) {
  if (n > kMaxOrder) return kTooLarge;
  if (n <= 0) return 0;
  const int st = n + 1;
  double p[kStride];
  for (int i = 1; i <= n; ++i) {
    for (int j = i; j <= n; ++j) {
      double sum = at(a, st, i, j);
      for (int k = i - 1; k >= 1; --k) sum -= at(a, st, i, k) * at(a, st, j, k);
      if (i == j) {
        if (sum <= 0.0) return -1;
        p[i] = std::sqrt(sum);
      } else {
        at(a, st, j, i) = sum / p[i];
      }
    }
  }
  for (int i = 1; i <= n; ++i) {
    at(l, st, i, i) = p[i];
    for (int j = i + 1; j <= n; ++j) {
      at(l, st, j, i) = at(a, st, j, i);
      at(l, st, i, j) = 0.0;
    }
  }
  return 0;
}

// Gauss-Jordan on [a | 0 | I]: the column of zeros between the halves is part of the work
// matrix's layout and rides along with every row operation.
int inverse(const double *a, double *inv, int n) {
  if (n > kMaxOrder) return kTooLarge;
  if (n <= 0) return 0;
  constexpr int kWorkStride = 2 * kMaxOrder + 2;
  double w[kStride * kWorkStride];
  const int last = 2 * n + 1;
  for (int i = 1; i <= n; ++i) {
    for (int j = 1; j <= n; ++j) {
      at(w, kWorkStride, i, j) = at(a, n + 1, i, j);
      at(w, kWorkStride, i, n + 1 + j) = i == j ? 1.0 : 0.0;
    }
    at(w, kWorkStride, i, n + 1) = 0.0;
  }
  for (int k = 1; k <= n; ++k) {
    double best = std::fabs(at(w, kWorkStride, k, k));
    int row = k;
    for (int i = k; i <= n; ++i) {
      if (std::fabs(at(w, kWorkStride, i, k)) > best) {
        best = std::fabs(at(w, kWorkStride, i, k));
        row = i;
      }
    }
    if (!(best >= kPivotMin)) return -1;  // also a pivot that is not a number
    if (row != k)
      for (int j = k; j <= last; ++j)
        std::swap(at(w, kWorkStride, row, j), at(w, kWorkStride, k, j));
    const double pivot = at(w, kWorkStride, k, k);
    for (int j = last; j >= k; --j) at(w, kWorkStride, k, j) /= pivot;
    for (int i = 1; i <= n; ++i) {
      if (i == k) continue;
      const double m = at(w, kWorkStride, i, k);
      for (int j = last; j >= k; --j) at(w, kWorkStride, i, j) -= m * at(w, kWorkStride, k, j);
    }
  }
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= n; ++j) at(inv, n + 1, i, j) = at(w, kWorkStride, i, n + 1 + j);
  return 0;
}

void AperB(const double *a, const double *b, double *r, int rows_a, int cols_a, int cols_b) {
  for (int p = 1; p <= rows_a; ++p) {
    for (int q = 1; q <= cols_b; ++q) {
      double sum = 0.0;
      for (int m = 1; m <= cols_a; ++m) sum += at(a, cols_a + 1, p, m) * at(b, cols_b + 1, m, q);
      at(r, cols_b + 1, p, q) = sum;
    }
  }
}

void A_TperB(const double *a, const double *b, double *r, int rows_a, int cols_a, int cols_b) {
  for (int p = 1; p <= cols_a; ++p) {
    for (int q = 1; q <= cols_b; ++q) {
      double sum = 0.0;
      for (int m = 1; m <= rows_a; ++m) sum += at(a, cols_a + 1, m, p) * at(b, cols_b + 1, m, q);
      at(r, cols_b + 1, p, q) = sum;
    }
  }
}

void AperB_T(const double *a, const double *b, double *r, int rows_a, int cols_a, int cols_b) {
  for (int p = 1; p <= cols_a; ++p) {
    for (int q = 1; q <= cols_b; ++q) {
      double sum = 0.0;
      for (int m = 1; m <= rows_a; ++m) sum += at(a, rows_a + 1, p, m) * at(b, rows_a + 1, q, m);
      at(r, cols_b + 1, p, q) = sum;
    }
  }
}

}  // namespace tarsa::matrix

// The exported names, for programs; the library itself calls the definitions above.
extern "C" {

void rotate(double *a, int i, int j, int k, int l, double tau, double s, int n) {
  tarsa::matrix::rotate(a, i, j, k, l, tau, s, n);
}
int jacobi(double *a, int n, double *d, double *v, int *nrot) {
  return tarsa::matrix::jacobi(a, n, d, v, nrot);
}
int choldc(double *a, int n, double *l) {
  return tarsa::matrix::choldc(a, n, l);
}
int inverse(const double *a, double *inv, int n) {
  return tarsa::matrix::inverse(a, inv, n);
}
void AperB(const double *a, const double *b, double *r, int rows_a, int cols_a, int, int cols_b) {
  tarsa::matrix::AperB(a, b, r, rows_a, cols_a, cols_b);
}
void A_TperB(const double *a, const double *b, double *r, int rows_a, int cols_a, int, int cols_b) {
  tarsa::matrix::A_TperB(a, b, r, rows_a, cols_a, cols_b);
}
void AperB_T(const double *a, const double *b, double *r, int rows_a, int cols_a, int, int cols_b) {
  tarsa::matrix::AperB_T(a, b, r, rows_a, cols_a, cols_b);
}

}  // extern "C"
