// The B-spline basis evaluated apart from the library, in long double, for
// tests that check fits against dense computations.
#ifndef DENSE_BASIS_H
#define DENSE_BASIS_H

#include <Eigen/Dense>

#include <vector>

namespace dense {

using Real = long double;
using Matrix = Eigen::Matrix<Real, Eigen::Dynamic, Eigen::Dynamic>;
using Vector = Eigen::Matrix<Real, Eigen::Dynamic, 1>;

// The knot vector in stage units of the placed knots Y[0..J]: end knots
// repeated M + 1 times, the distinct interior knots once.
std::vector<Real> knot_vector(const std::vector<double> &Y, int M);

// Row of the design matrix at stage h by the Cox-de Boor recursion on the
// span holding h (the end spans extend beyond the knots).
Vector basis_row(const std::vector<Real> &tau, int M, double h);

// The design matrix at the stages h.
Matrix design(const std::vector<Real> &tau, int M, const std::vector<double> &h);

} // namespace dense

#endif
