// The fit of a model (an exponent nu, knots and a degree) to a station's
// gaugings in Q^nu: unweighted, or weighted by the gaugings' own uncertainty
// with the curve's remaining scatter estimated by restricted maximum
// likelihood (REML).
#ifndef RATING_WEIGHTED_H
#define RATING_WEIGHTED_H

#include "LeastSquares.h"

#include <vector>

namespace rating {

// The standard deviation of a gauging in Q^nu for a standard deviation sigma
// of its discharge Q: u = nu Q^(nu-1) sigma, and sigma^nu for Q = 0.
double sigma_in_q_nu(double nu, double Q, double sigma);

struct ModelFit {
    std::vector<double> knots;   // Y[0..J], stage units
    std::vector<double> y;       // Q^nu of the gaugings, stage order
    std::vector<double> u2;      // u_i^2; empty: unweighted
    // The curve's remaining scatter in Q^nu, as a variance: weighted, its REML
    // estimate; unweighted, SSE / (n - p) (0 when n <= p or the curve is undetermined).
    double s_m2 = 0.0;
    std::vector<double> w;       // 1 / (s_m2 + u2_i) (weighted); empty: unweighted
    SplineFit fit;               // the (generalised) least-squares fit at s_m2
};

// Fits Q^nu at the ascending stages h on the knots Y[0..J] (J = knots.size() - 1)
// with the degree (1..3). sigma empty: unweighted, exactly fit_spline on
// std::pow(Q, nu). Otherwise one sigma per gauging, each > 0, and the
// variance of gauging i in Q^nu is s_m2 + u_i^2 with s_m2 the REML estimate;
// the coefficients are the generalised least-squares fit at s_m2.
void fit_model(const std::vector<double> &h, const std::vector<double> &Q, const std::vector<double> &sigma,
               double nu, const std::vector<double> &knots, int degree, ModelFit &out);

// The REML step of fit_model on values already in Q^nu: y[0..n-1] at the
// ascending stages h with the variances u2[0..n-1] (each > 0) of their own
// uncertainty, on knots Y[0..J] of degree M. Returns s_m2 and leaves fit at
// it, with w[i] = 1 / (s_m2 + u2[i]). w, fit and work keep their storage
// between calls.
double fit_reml(const double *h, const double *y, const double *u2, int n, const double *Y, int J, int M,
                std::vector<double> &w, SplineFit &fit, std::vector<double> &work);

} // namespace rating

#endif
