// Interval lookup, interpolation in tables of points, cubic splines.
//
// interval() searches a 1-based view xs[1..n]; the interpolation routines
// address their tables from 0 and hand interval() the same pointer, so that
// the search covers the knots xs[1..n] and segment i starts at xs[i].
#ifndef INTERPOLATION_H
#define INTERPOLATION_H

#include <complex>

// The number of entries of the nondecreasing table xs[1..n] at or below xv
// (0..n). Remembers where the last search ended, shared by all callers; the
// result never depends on it, only the number of comparisons does.
int interval(const double *xs, int n, double xv);

double linear(const double *xs, const double *ys, int n, double xv, int deriv);
double Quadratic(const double *xs, const double *ys, int n, double xv, int unused);
double polynomial(const double *xs, const double *ys, int n, double xv, int deg);

void Spline(const double *xs, double **coef, int n, int startcond, int endcond);
void spline(const double *xs, double (*coef)[4], int n, int startcond, int endcond);
void complex_spline(const double *xs, std::complex<double> **coef, int n, int startcond, int endcond);

double value(const double *xs, double (*coef)[4], int n, double xv, int deriv);
double Value(const double *xs, double **coef, int n, double xv, int deriv);
std::complex<double> complex_value(const double *xs, std::complex<double> **coef, int n, double xv, int deriv);
void Integral(const double *xs, double **coef, int n, double *integ);

#endif
