#include "Gauging.h"

#include <algorithm>
#include <cmath>

namespace rating {

bool has_date(const Gauging &g)
{
    return !g.date.empty();
}

bool has_sigma(const Gauging &g)
{
    return !std::isnan(g.sigma);
}

std::vector<std::size_t> active_order(const std::vector<Gauging> &gaugings)
{
    // The keys are sorted rather than the gaugings, which carry their dates.
    struct Key {
        double stage;
        LineNumber line;
        std::size_t index;
    };
    std::vector<Key> keys;
    keys.reserve(gaugings.size());
    for (std::size_t i = 0; i < gaugings.size(); i++)
        if (gaugings[i].active)
            keys.push_back({gaugings[i].stage, gaugings[i].line, i});
    // The index breaks the remaining ties, so that the unstable sort gives
    // the order a stable one would; a stage that is no number sorts last,
    // which keeps the order strict whatever the stages.
    std::sort(keys.begin(), keys.end(), [](const Key &a, const Key &b) {
        const bool a_nan = std::isnan(a.stage);
        const bool b_nan = std::isnan(b.stage);
        if (a_nan != b_nan)
            return b_nan;
        if (!a_nan && a.stage != b.stage)
            return a.stage < b.stage;
        return a.line < b.line || (a.line == b.line && a.index < b.index);
    });
    std::vector<std::size_t> order(keys.size());
    for (std::size_t k = 0; k < keys.size(); k++)
        order[k] = keys[k].index;
    return order;
}

std::vector<Gauging> active_by_stage(const std::vector<Gauging> &gaugings)
{
    std::vector<Gauging> active;
    const std::vector<std::size_t> order = active_order(gaugings);
    active.reserve(order.size());
    for (const std::size_t i : order)
        active.push_back(gaugings[i]);
    return active;
}

int count_active(const std::vector<Gauging> &gaugings)
{
    return static_cast<int>(std::count_if(gaugings.begin(), gaugings.end(), [](const Gauging &g) { return g.active; }));
}

std::string safe_name(const std::string &name)
{
    std::string safe;
    for (const char ch : name) {
        const bool keep = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
                          ch == '.' || ch == '_' || ch == '-';
        safe += keep ? ch : '_';
    }
    if (!safe.empty() && safe[0] == '.')
        safe.insert(safe.begin(), '_');
    return safe;
}

} // namespace rating
