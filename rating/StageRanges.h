// Stage ranges [from, to] and their text: where a curve is not determined,
// falls, or is held to rise.
#ifndef RATING_STAGERANGES_H
#define RATING_STAGERANGES_H

#include <string>
#include <utility>
#include <vector>

namespace rating {

using StageRange = std::pair<double, double>;
using StageRanges = std::vector<StageRange>;

// Adds [lo, hi] to ascending ranges, joining it to the last one if they touch.
void add_range(StageRanges &ranges, double lo, double hi);

// The ranges joined by ", ", each written with `format` (two %g), or with
// `single` (one %g), when given, where a range holds one stage.
std::string ranges_text(const char *format, const char *single, const StageRanges &ranges);

// "stages 1.2 to 1.5, stage 2": the ranges in words.
std::string ranges_in_words(const StageRanges &ranges);

} // namespace rating

#endif
