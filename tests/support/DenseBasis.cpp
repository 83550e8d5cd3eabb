#include "DenseBasis.h"

namespace dense {

std::vector<Real> knot_vector(const std::vector<double> &Y, int M)
{
    std::vector<Real> tau(static_cast<std::size_t>(M) + 1, Y.front());
    for (std::size_t k = 1; k + 1 < Y.size(); k++)
        if (Y[k] > tau.back() && Y[k] < Y.back())
            tau.push_back(Y[k]);
    tau.insert(tau.end(), static_cast<std::size_t>(M) + 1, Y.back());
    return tau;
}

Vector basis_row(const std::vector<Real> &tau, int M, double h)
{
    const int p = static_cast<int>(tau.size()) - M - 1;
    int mu = M;
    while (mu + 1 < p && h >= tau[static_cast<std::size_t>(mu) + 1])
        mu++;
    std::vector<Real> N(static_cast<std::size_t>(M) + 1, 0.0L);
    N[0] = 1.0L;
    for (int d = 1; d <= M; d++) {
        Real saved = 0.0L;
        for (int r = 0; r < d; r++) {
            const Real right = tau[static_cast<std::size_t>(mu + r + 1)] - h;
            const Real left = h - tau[static_cast<std::size_t>(mu + 1 - d + r)];
            const Real temp = N[static_cast<std::size_t>(r)] / (right + left);
            N[static_cast<std::size_t>(r)] = saved + right * temp;
            saved = left * temp;
        }
        N[static_cast<std::size_t>(d)] = saved;
    }
    Vector row = Vector::Zero(p);
    for (int j = 0; j <= M; j++)
        row(mu - M + j) = N[static_cast<std::size_t>(j)];
    return row;
}

Matrix design(const std::vector<Real> &tau, int M, const std::vector<double> &h)
{
    Matrix X(static_cast<Eigen::Index>(h.size()), static_cast<Eigen::Index>(tau.size()) - M - 1);
    for (std::size_t i = 0; i < h.size(); i++)
        X.row(static_cast<Eigen::Index>(i)) = basis_row(tau, M, h[i]).transpose();
    return X;
}

} // namespace dense
