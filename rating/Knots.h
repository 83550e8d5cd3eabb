// Knot stages of the rating model as values.
#ifndef RATING_KNOTS_H
#define RATING_KNOTS_H

#include <vector>

namespace rating {

// Knots Y[0..J] by equal counts of the ascending stages h (n >= J >= 1):
// interval q (from 1) holds the stages up to number round(q n / J), each
// interior knot lies midway between the last stage of one interval and the
// first of the next, and the end knots are the lowest and highest stage.
std::vector<double> automatic_knots(const std::vector<double> &h, int J);

// The lowest and highest stage around the interior stages given.
std::vector<double> listed_knots(const std::vector<double> &h, const std::vector<double> &interior);

} // namespace rating

#endif
