// Gaugings as values: a field measurement of stage and discharge with what a
// hydrologist keeps beside it (its line in the file, a date, the uncertainty
// of the discharge and whether it is used), and the gaugings of one station.
#ifndef RATING_GAUGING_H
#define RATING_GAUGING_H

#include "Error.h"

#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace rating {

struct Gauging {
    double stage = 0.0;
    double discharge = 0.0;
    LineNumber line = 0;      // physical line of the source file, from 1
    std::string date;         // as written; empty when undated
    long long time = 0;       // seconds since 1970-01-01 00:00 of the date's clock; only with a date
    double sigma = std::numeric_limits<double>::quiet_NaN();  // one standard deviation of the
                                                              // discharge; NaN when unknown
    bool active = true;       // used for the fit; an inactive gauging is only shown
};

bool has_date(const Gauging &g);
bool has_sigma(const Gauging &g);

struct Station {
    std::string id;           // empty when the file has no station column
    std::string name;         // empty when the file has no station-name column
    std::string source;       // the file, as named in messages
    std::vector<Gauging> gaugings;  // with a stage and a discharge, in the order of the file
    std::vector<LineNumber> skipped_lines;  // rows without a stage or a discharge
    long long undated_left_out = 0;         // undated gaugings left out by a period
    std::optional<Error> refused;           // the first row refused, when any
};

// The active gaugings ordered by stage, gaugings at equal stages in the order
// of their lines.
std::vector<Gauging> active_by_stage(const std::vector<Gauging> &gaugings);

// The same order as the indices of the active gaugings.
std::vector<std::size_t> active_order(const std::vector<Gauging> &gaugings);

int count_active(const std::vector<Gauging> &gaugings);

// The file-safe form of a name: characters other than ASCII letters, digits,
// '.', '_' and '-' become '_', and a leading '.' gets a '_' in front.
std::string safe_name(const std::string &name);

} // namespace rating

#endif
