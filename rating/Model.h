// The rating model: the run's shared state and the piecewise polynomial of
// Q^nu in stage, its knots, its parameterisation and the least-squares
// objective.
//
// Vectors are offset-indexed and addressed from 1; the coefficient matrix is
// c[1..J+1][0..M], c[j][m] being the coefficient of (h - Y[j])^m on interval j.
#ifndef MODEL_H
#define MODEL_H

constexpr int kKnotTable = 100;  // entries of Y; knots at Y[1..J+1], so J <= 98
constexpr int kMaxIntervals = kKnotTable - 2;

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

// Knots by equal counts of the ordered observations h[1..N]: J = Jknot
// intervals, interval q holding observations up to round(q N / J), each
// interior knot midway between the last observation of one interval and the
// first of the next; Y[1] = h[1], Y[J+1] = h[N]; sets every I[i].
void place_automatic();
// Knots at the observed ends and the `count` interior stages listed in
// ascending order strictly inside them: J = count + 1, Y[1..J+1], every I[i].
void list_knots(const double *stages, int count);
// I[i] = the highest j whose knot Y[j] is at or below h[i]: an observation at
// an interior knot belongs to the interval above it.
void assign_by_knots();
// For the knots Y[1..J+1] and the degree M: the widths delta[1..J], the
// coefficient matrix c and NN = J + M.
void complete_knots();
// Gives back the vectors and the matrix of the state (h, Q, Qnu, I, delta,
// c, whichever are held) and clears their pointers.
void release_model();

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
