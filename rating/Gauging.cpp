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
    std::vector<Gauging> active;
    for (const Gauging &g : gaugings)
        if (g.active)
            active.push_back(g);
    std::stable_sort(active.begin(), active.end(), [](const Gauging &a, const Gauging &b) {
        return a.stage < b.stage || (a.stage == b.stage && a.line < b.line);
    });
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
