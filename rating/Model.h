// The rating model: the run's shared state and the piecewise polynomial of
// Q^nu in stage, its parameterisation and the least-squares objective.
//
// Vectors are offset-indexed and addressed from 1; the coefficient matrix is
// c[1..J+1][0..M], c[j][m] being the coefficient of (h - Y[j])^m on interval j.
#ifndef MODEL_H
#define MODEL_H

#include <cstdio>

constexpr int kKnotTable = 100;  // entries of Y; knots at Y[1..J+1], so J <= 98
constexpr int kMaxIntervals = kKnotTable - 2;

extern FILE *in;
extern FILE *out;
extern int *I;        // interval of each observation, 1..J
extern int J;         // number of intervals
extern int Jknot;     // knot mode as read: < 0 listed in the knots file, else automatic
extern int M;         // polynomial degree, 1..3
extern int NN;        // free parameters, J + M
extern int N;         // observations
extern double **c;
extern double *delta; // interval widths, delta[j] = Y[j+1] - Y[j]
extern double *h;     // stages, ascending
extern double hmax;
extern double hmin;
extern double hrange;
extern double nu;     // exponent applied to discharge
extern double *Q;     // discharges, each beside its stage
extern double *Qnu;   // Q^nu, the quantity fitted
extern double *Y0;    // &Y[1]: the knot table as the interval lookup sees it
extern double Y[kKnotTable];
extern long Tstart;
extern long Tend;

// Value of the polynomial of interval II at stage h.
double P0(double h, int II);
// Value of the model at any stage; the end polynomials extend beyond the knots.
double P(double h);

// Puts the free parameters x[1..NN] into c.
void Transfer(const double *x);
// Fills the remaining coefficients so that value, slope and curvature (as far
// as the degree allows) carry across every interior knot.
void Continuity();
// Sum of squared misfits of the model of x to Qnu over all observations.
double Eqn(double *x);

#endif
