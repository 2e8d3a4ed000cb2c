// Dense matrix routines of the StarGazer calibration, as the library itself calls them.
//
// The exported C names (rotate, inverse, jacobi, ...) are generic enough that a program may
// define functions of its own under them; the library's calls go to these hidden definitions so
// that such a program cannot change what the calibration computes. Layout and results are those
// documented in tarsa/vx_stargazer.h.
#pragma once

namespace tarsa::matrix {

constexpr int kMaxOrder = 6;
constexpr int kTooLarge = -2;  // jacobi, choldc, inverse: order above kMaxOrder

void rotate(double *a, int i, int j, int k, int l, double tau, double s, int n);
int jacobi(double *a, int n, double *d, double *v, int *nrot);
int choldc(double *a, int n, double *l);
int inverse(const double *a, double *inv, int n);
void AperB(const double *a, const double *b, double *r, int rows_a, int cols_a, int cols_b);
void A_TperB(const double *a, const double *b, double *r, int rows_a, int cols_a, int cols_b);
void AperB_T(const double *a, const double *b, double *r, int rows_a, int cols_a, int cols_b);

}  // namespace tarsa::matrix
