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

std::vector<Gauging> active_by_stage(const std::vector<Gauging> &gaugings)
{
    // Indices are sorted rather than the gaugings, which carry their dates.
    std::vector<std::size_t> order;
    order.reserve(gaugings.size());
    for (std::size_t i = 0; i < gaugings.size(); i++)
        if (gaugings[i].active)
            order.push_back(i);
    std::stable_sort(order.begin(), order.end(), [&gaugings](std::size_t a, std::size_t b) {
        const Gauging &ga = gaugings[a];
        const Gauging &gb = gaugings[b];
        return ga.stage < gb.stage || (ga.stage == gb.stage && ga.line < gb.line);
    });
    std::vector<Gauging> active;
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
