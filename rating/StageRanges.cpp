#include "StageRanges.h"

#include <cstdio>

namespace rating {

void add_range(StageRanges &ranges, double lo, double hi)
{
    if (!ranges.empty() && ranges.back().second >= lo)
        ranges.back().second = hi;
    else
        ranges.emplace_back(lo, hi);
}

std::string ranges_text(const char *format, const char *single, const StageRanges &ranges)
{
    std::string text;
    char one[160];
    for (const StageRange &range : ranges) {
        if (single != nullptr && range.first == range.second)
            std::snprintf(one, sizeof one, single, range.first);
        else
            std::snprintf(one, sizeof one, format, range.first, range.second);
        text += (text.empty() ? "" : ", ") + std::string(one);
    }
    return text;
}

std::string ranges_in_words(const StageRanges &ranges)
{
    return ranges_text("stages %g to %g", "stage %g", ranges);
}

} // namespace rating
