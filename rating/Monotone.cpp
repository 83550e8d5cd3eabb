// The rising curve as a non-negative least-squares problem.
//
// With c = L z, c_0 = z_0 and c_k = z_0 + sign (z_1 + ... + z_k) (sign +1
// for a rising Q^nu, -1 for a falling one), the constraints on the coefficients
// become bounds z_k >= 0 for k >= 1, z_0 free, and the problem is
// min ||(R L) z - d|| over them, solved by the active-set method of Lawson
// and Hanson. A passive set P (the z_k off their bound, z_0 always among
// them) makes the coefficients equal within blocks: a block starts at each
// k in P. The subproblem on P is solved in the block values v instead of z_P
// (the same least squares, c = G v with G the block indicator), because
// R G keeps a staircase: row i is zero left of the block holding i, so its
// Householder QR only reduces the rows of each merged block.
#include "Monotone.h"

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace rating {

namespace {

using RowMatrix = Eigen::Map<const Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>>;
using Vector = Eigen::Map<const Eigen::VectorXd>;

// A variable is freed from its bound when its gradient exceeds this fraction
// of |(R L) e_j| |d|; rounding of the gradient is some p eps of that.
constexpr double kKktTolerance = 1e-11;
// See falling_ranges.
constexpr double kSlopeTolerance = 1e-12;

std::size_t at(int k)
{
    return static_cast<std::size_t>(k);
}

// The least-squares solution with the coefficients equal within blocks.
class BlockSolver {
public:
    BlockSolver(const RowMatrix &R, const Vector &d)
        : R_(R), d_(d), work_(R.rows(), R.rows() + 1), scratch_(R.rows() + 1)
    {
    }

    // Solves with a block starting at each passive index.
    void solve(const std::vector<char> &passive)
    {
        const int p = static_cast<int>(R_.rows());
        start_.clear();
        for (int k = 0; k < p; k++)
            if (passive[at(k)])
                start_.push_back(k);
        nb_ = static_cast<int>(start_.size());
        start_.push_back(p);

        // R G and the data: row i sums R over each block from column i on.
        int bi = 0;
        for (int i = 0; i < p; i++) {
            if (i == start_[at(bi + 1)])
                bi++;
            for (int b = 0; b < bi; b++)
                work_(i, b) = 0.0;
            for (int b = bi; b < nb_; b++) {
                double sum = 0.0;
                for (int k = std::max(i, start_[at(b)]); k < start_[at(b + 1)]; k++)
                    sum += R_(i, k);
                work_(i, b) = sum;
            }
            work_(i, nb_) = d_(i);
        }
        // Column b is zero below the last row of block b, and the rows left
        // over from earlier blocks lie just above that block's rows, from
        // row b on: one reflection of those rows reduces the column.
        for (int b = 0; b < nb_; b++) {
            const int rows = start_[at(b + 1)] - b;
            if (rows < 2)
                continue;
            double tau = 0.0;
            double beta = 0.0;
            work_.col(b).segment(b, rows).makeHouseholderInPlace(tau, beta);
            work_.block(b, b + 1, rows, nb_ - b)
                .applyHouseholderOnTheLeft(work_.col(b).segment(b + 1, rows - 1), tau, scratch_.data());
            work_(b, b) = beta;
        }
        values_ = factor().triangularView<Eigen::Upper>().solve(work_.col(nb_).head(nb_));
        sse_ = work_.col(nb_).segment(nb_, p - nb_).squaredNorm();
    }

    const std::vector<int> &starts() const { return start_; }  // and p at the end
    const Eigen::VectorXd &values() const { return values_; }
    double sse() const { return sse_; }                         // ||R G v - d||^2
    // T of R G = Q T: nb x nb, upper triangular.
    Eigen::Block<const Eigen::MatrixXd> factor() const { return work_.topLeftCorner(nb_, nb_); }

    // Each block's value over its indices.
    std::vector<double> coefficients() const
    {
        std::vector<double> c(at(static_cast<int>(R_.rows())));
        for (int b = 0; b < nb_; b++)
            std::fill(c.begin() + start_[at(b)], c.begin() + start_[at(b + 1)], values_(b));
        return c;
    }

private:
    const RowMatrix &R_;
    const Vector &d_;
    Eigen::MatrixXd work_;
    Eigen::VectorXd scratch_;
    std::vector<int> start_;
    int nb_ = 0;
    Eigen::VectorXd values_;
    double sse_ = 0.0;
};

// z of the solver's solution: z_0 the first block's value, z at each later
// block start the signed step from the block before, zero elsewhere.
void differences(const BlockSolver &solver, double sign, Eigen::VectorXd &z)
{
    z.setZero();
    const std::vector<int> &start = solver.starts();
    const Eigen::VectorXd &v = solver.values();
    z(0) = v(0);
    for (Eigen::Index b = 1; b < v.size(); b++)
        z(start[at(static_cast<int>(b))]) = sign * (v(b) - v(b - 1));
}

// The covariance G T^-1 T^-T G' of the solver's coefficients: that of the
// block values spread over each block's indices.
std::vector<double> covariance(const BlockSolver &solver, int p)
{
    const auto T = solver.factor();
    const Eigen::Index nb = T.rows();
    const Eigen::MatrixXd U = T.triangularView<Eigen::Upper>().solve(Eigen::MatrixXd::Identity(nb, nb));
    Eigen::MatrixXd S(nb, nb);
    S.noalias() = U.triangularView<Eigen::Upper>() * U.transpose();
    const std::vector<int> &start = solver.starts();
    std::vector<int> block(at(p));
    for (int b = 0; b < nb; b++)
        std::fill(block.begin() + start[at(b)], block.begin() + start[at(b + 1)], b);
    std::vector<double> cov(at(p) * at(p));
    for (int i = 0; i < p; i++)
        for (int j = 0; j < p; j++)
            cov[at(i) * at(p) + at(j)] = S(block[at(i)], block[at(j)]);
    return cov;
}

double polynomial(const std::vector<double> &a, double x)
{
    double value = 0.0;
    for (auto e = a.rbegin(); e != a.rend(); ++e)
        value = value * x + *e;
    return value;
}

// Points of [lo, hi] between which the polynomial a keeps one sign: its
// roots there and those of its derivative. The derivative's roots cut the
// interval into stretches on which a is monotone; a stretch whose ends
// differ in sign holds one root, found by bisection to adjacent doubles.
std::vector<double> sign_changes(std::vector<double> a, double lo, double hi)
{
    while (!a.empty() && a.back() == 0.0)
        a.pop_back();
    if (a.size() < 2)
        return {};
    std::vector<double> slope;
    for (std::size_t e = 1; e < a.size(); e++)
        slope.push_back(static_cast<double>(e) * a[e]);
    std::vector<double> cuts = sign_changes(slope, lo, hi);
    cuts.insert(cuts.begin(), lo);
    cuts.push_back(hi);
    std::vector<double> points;
    for (std::size_t q = 0; q + 1 < cuts.size(); q++) {
        double x0 = cuts[q];
        double x1 = cuts[q + 1];
        if (q > 0)
            points.push_back(x0);
        const double f0 = polynomial(a, x0);
        const double f1 = polynomial(a, x1);
        if (!(f0 < 0.0 && f1 > 0.0) && !(f0 > 0.0 && f1 < 0.0))
            continue;
        for (double mid = 0.5 * (x0 + x1); mid > x0 && mid < x1; mid = 0.5 * (x0 + x1)) {
            if ((polynomial(a, mid) > 0.0) == (f1 > 0.0))
                x1 = mid;
            else
                x0 = mid;
        }
        points.push_back(x1);
    }
    return points;
}

// d - R c.
Eigen::VectorXd residuals(const RowMatrix &R, const Vector &d, const std::vector<double> &c)
{
    const Eigen::Index p = d.size();
    Eigen::VectorXd r(p);
    for (Eigen::Index i = 0; i < p; i++) {
        double sum = d(i);
        for (Eigen::Index k = i; k < p; k++)
            sum -= R(i, k) * c[at(static_cast<int>(k))];
        r(i) = sum;
    }
    return r;
}

MonotoneFit result(const BlockSolver &solver, const std::vector<char> &passive, int p)
{
    MonotoneFit fit;
    fit.coefficients = solver.coefficients();
    fit.reduced_sse = solver.sse();
    for (int k = 1; k < p; k++)
        if (!passive[at(k)])
            fit.active.push_back(k - 1);
    fit.covariance = covariance(solver, p);
    return fit;
}

} // namespace

MonotoneFit fit_monotone(const std::vector<double> &R, const std::vector<double> &d, int p, bool increasing)
{
    if (p <= 0)
        return {};
    const RowMatrix Rm(R.data(), p, p);
    const Vector dv(d.data(), p);
    const double sign = increasing ? 1.0 : -1.0;
    BlockSolver solver(Rm, dv);

    // The unconstrained solution, which stands when it obeys the constraints.
    std::vector<char> passive(at(p), 1);
    solver.solve(passive);
    Eigen::VectorXd s(p);
    differences(solver, sign, s);
    if ((s.tail(p - 1).array() >= 0.0).all())
        return result(solver, passive, p);

    // Lawson and Hanson from a feasible start: the unconstrained steps with
    // those against the constraint set to zero and held there.
    Eigen::VectorXd z = s;
    for (int j = 1; j < p; j++)
        if (!(s(j) > 0.0)) {
            z(j) = 0.0;
            passive[at(j)] = 0;
        }
    // |(R L) e_j| |d| for the gradient's tolerance: column j of R L is the
    // sum of the columns j.. of R.
    Eigen::VectorXd tolerance(p);
    Eigen::VectorXd column = Eigen::VectorXd::Zero(p);
    for (int j = p - 1; j >= 0; j--) {
        column += Rm.col(j);
        tolerance(j) = kKktTolerance * column.norm() * dv.norm();
    }

    const int limit = 10 * p + 10;
    int solves = 1;
    bool fresh = false;  // solver and s hold the solution on the passive set
    bool converged = false;
    Eigen::VectorXd gradient(p);
    std::vector<int> candidates;
    while (!converged && solves < limit) {
        if (!fresh) {
            solver.solve(passive);
            ++solves;
            differences(solver, sign, s);
        }
        fresh = false;
        // Move towards the subproblem's solution as far as the bounds allow;
        // the passive z_j that reach zero become active.
        int blocking = -1;
        double alpha = 1.0;
        for (int j = 1; j < p; j++)
            if (passive[at(j)] && !(s(j) > 0.0)) {
                const double ratio = z(j) / (z(j) - s(j));
                if (blocking < 0 || ratio < alpha) {
                    blocking = j;
                    alpha = ratio;
                }
            }
        if (blocking >= 0) {
            z += alpha * (s - z);
            z(blocking) = 0.0;
            for (int j = 1; j < p; j++)
                if (passive[at(j)] && !(z(j) > 0.0)) {
                    z(j) = 0.0;
                    passive[at(j)] = 0;
                }
            continue;
        }
        z = s;

        // The descent -d f / d z_j of f = ||R L z - d||^2 / 2, L' R' (d - R c)
        // signed; an active z_j whose descent is positive is freed, the
        // steepest first. One that the new subproblem would still put at or
        // below zero (by rounding) is passed over.
        const Eigen::VectorXd residual = residuals(Rm, dv, solver.coefficients());
        const Eigen::VectorXd u = Rm.transpose() * residual;
        double suffix = 0.0;
        for (int j = p - 1; j >= 1; j--) {
            suffix += u(j);
            gradient(j) = sign * suffix;
        }
        candidates.clear();
        for (int j = 1; j < p; j++)
            if (!passive[at(j)] && gradient(j) > tolerance(j))
                candidates.push_back(j);
        std::sort(candidates.begin(), candidates.end(),
                  [&](int a, int b) { return gradient(a) > gradient(b); });
        bool freed = false;
        bool tried = true;
        for (const int j : candidates) {
            if (solves >= limit) {
                tried = false;
                break;
            }
            passive[at(j)] = 1;
            solver.solve(passive);
            ++solves;
            differences(solver, sign, s);
            if (s(j) > 0.0) {
                freed = true;
                break;
            }
            passive[at(j)] = 0;
        }
        if (freed) {
            fresh = true;
        } else if (tried) {
            converged = true;
            if (!candidates.empty())
                solver.solve(passive);
        }
    }
    if (converged)
        return result(solver, passive, p);

    // Out of iterations: the feasible z reached, with the covariance of its
    // active set.
    for (int j = 1; j < p; j++)
        passive[at(j)] = z(j) > 0.0;
    solver.solve(passive);
    MonotoneFit fit = result(solver, passive, p);
    fit.converged = false;
    double sum = z(0);
    fit.coefficients[0] = sum;
    for (int k = 1; k < p; k++) {
        sum += sign * z(k);
        fit.coefficients[at(k)] = sum;
    }
    fit.reduced_sse = residuals(Rm, dv, fit.coefficients).squaredNorm();
    return fit;
}

std::vector<StageRange> falling_ranges(const std::vector<Piece> &pieces, bool increasing)
{
    const double sign = increasing ? 1.0 : -1.0;
    std::vector<StageRange> ranges;
    for (const Piece &piece : pieces) {
        const double width = piece.to - piece.from;
        const std::vector<double> &a = piece.coefficients;
        if (!(width > 0.0) || a.size() < 2)
            continue;
        double scale = 0.0;
        double power = 1.0;
        for (const double coefficient : a) {
            scale += std::fabs(coefficient) * power;
            power *= width;
        }
        // Positive where the slope goes the wrong way by more than rounding.
        std::vector<double> wrong;
        for (std::size_t e = 1; e < a.size(); e++)
            wrong.push_back(-sign * static_cast<double>(e) * a[e]);
        wrong[0] -= kSlopeTolerance * scale / width;

        std::vector<double> cuts = sign_changes(wrong, 0.0, width);
        cuts.insert(cuts.begin(), 0.0);
        cuts.push_back(width);
        for (std::size_t q = 0; q + 1 < cuts.size(); q++) {
            if (!(cuts[q + 1] > cuts[q]) || !(polynomial(wrong, 0.5 * (cuts[q] + cuts[q + 1])) > 0.0))
                continue;
            const double from = q == 0 ? piece.from : piece.from + cuts[q];
            const double to = q + 2 == cuts.size() ? piece.to : piece.from + cuts[q + 1];
            if (!ranges.empty() && from <= ranges.back().second)
                ranges.back().second = std::max(ranges.back().second, to);
            else
                ranges.emplace_back(from, to);
        }
    }
    return ranges;
}

StageRange constraint_range(const std::vector<double> &knots, int degree, int k)
{
    return {knots[at(k + 1)], knots[at(k + degree + 1)]};
}

} // namespace rating
