#include "Knots.h"

#include <cmath>

namespace rating {

std::vector<double> automatic_knots(const std::vector<double> &h, int J)
{
    const int n = static_cast<int>(h.size());
    const double NJ = static_cast<double>(n) / J;
    std::vector<double> Y(static_cast<std::size_t>(J) + 1);
    Y[0] = h[0];
    for (int q = 1; q < J; q++) {
        const int iz = static_cast<int>(std::round(q * NJ));
        Y[static_cast<std::size_t>(q)] = (h[static_cast<std::size_t>(iz) - 1] + h[static_cast<std::size_t>(iz)]) * 0.5;
    }
    Y[static_cast<std::size_t>(J)] = h.back();
    return Y;
}

std::vector<double> listed_knots(const std::vector<double> &h, const std::vector<double> &interior)
{
    std::vector<double> Y;
    Y.reserve(interior.size() + 2);
    Y.push_back(h.front());
    Y.insert(Y.end(), interior.begin(), interior.end());
    Y.push_back(h.back());
    return Y;
}

} // namespace rating
