// A rating curve that rises with the stage: the least-squares spline whose
// B-spline coefficients are monotone, the stage ranges where a curve falls,
// and where a coefficient constraint acts on the curve.
#ifndef RATING_MONOTONE_H
#define RATING_MONOTONE_H

#include "Curve.h"

#include <vector>

namespace rating {

struct MonotoneFit {
    std::vector<double> coefficients;  // c, p of them
    double reduced_sse = 0.0;          // ||R c - d||^2 at the solution
    std::vector<int> active;           // k (0-based), ascending, for each active constraint c[k+1] == c[k]
    // p x p row by row, unscaled (times s^2 for an unweighted fit): the
    // covariance of c with the active constraints taken as equalities, of
    // rank p - active.size().
    std::vector<double> covariance;
    // false only when rounding kept the active set from settling within the
    // iteration limit; c then satisfies the constraints but is not proven
    // the least-squares solution.
    bool converged = true;
};

// min ||R c - d||^2 subject to c[k+1] - c[k] >= 0 for every k (<= 0 when
// increasing is false, for nu < 0). R: p x p upper triangular of full rank,
// row by row; d: p values; p >= 1. Without an active constraint the result is
// the unconstrained solution R^-1 d.
MonotoneFit fit_monotone(const std::vector<double> &R, const std::vector<double> &d, int p, bool increasing);

// The stage ranges, ascending, where the Q^nu of the pieces (in stage order)
// falls as the stage rises (rises when increasing is false), ranges that
// touch merged into one. Each piece's slope is examined exactly: the roots of
// the slope and of its derivatives cut the piece where the sign may change.
// A piece counts as falling where its slope is below zero by more than
// 1e-12 S / w, w being its width and S the sum of |a_e| w^e over its
// coefficients a_e: a fall that its values would show in the twelfth digit,
// above the rounding of the coefficients.
std::vector<StageRange> falling_ranges(const std::vector<Piece> &pieces, bool increasing);

// Where the B-splines k and k+1 of the knot vector (end knots repeated
// degree + 1 times) are non-zero together: [knots[k+1], knots[k+degree+1]].
StageRange constraint_range(const std::vector<double> &knots, int degree, int k);

} // namespace rating

#endif
