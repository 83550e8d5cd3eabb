#include "Gauging.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdint>

namespace rating {

bool has_date(const Gauging &g)
{
    return !g.date.empty();
}

bool has_sigma(const Gauging &g)
{
    return !std::isnan(g.sigma);
}

namespace {

// The stage as an unsigned key in the same order: -0 as 0, a stage that is
// no number above every other.
std::uint64_t stage_key(double stage)
{
    if (std::isnan(stage))
        return ~std::uint64_t{0};
    if (stage == 0.0)
        stage = 0.0;
    std::uint64_t bits;
    std::memcpy(&bits, &stage, sizeof bits);
    return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

} // namespace

std::vector<std::size_t> active_order(const std::vector<Gauging> &gaugings)
{
    struct Key {
        std::uint64_t stage;
        std::size_t index;
    };
    std::vector<Key> keys;
    keys.reserve(gaugings.size());
    bool lines_ascend = true;
    for (std::size_t i = 0; i < gaugings.size(); i++) {
        if (!gaugings[i].active)
            continue;
        if (!keys.empty() && gaugings[i].line < gaugings[keys.back().index].line)
            lines_ascend = false;
        keys.push_back({stage_key(gaugings[i].stage), i});
    }
    const auto indices = [](const std::vector<Key> &sorted_keys) {
        std::vector<std::size_t> order(sorted_keys.size());
        for (std::size_t k = 0; k < sorted_keys.size(); k++)
            order[k] = sorted_keys[k].index;
        return order;
    };
    // Ties of stage go by line, then by index.
    const auto by_line = [&gaugings](const Key &a, const Key &b) {
        const LineNumber la = gaugings[a.index].line;
        const LineNumber lb = gaugings[b.index].line;
        return la < lb || (la == lb && a.index < b.index);
    };
    // A few gaugings are sorted by comparison; many by a stable radix sort
    // on the stage, since the comparisons of random stages mispredict every
    // other time.
    constexpr std::size_t kFewForRadix = 1000;
    if (keys.size() < kFewForRadix) {
        std::sort(keys.begin(), keys.end(), [&by_line](const Key &a, const Key &b) {
            return a.stage < b.stage || (a.stage == b.stage && by_line(a, b));
        });
        return indices(keys);
    }
    // The keys in the order of lines first: that of the index when the
    // lines ascend with it, as a file's do.
    if (!lines_ascend)
        std::sort(keys.begin(), keys.end(), by_line);
    // 11 bits a pass; a pass in which every key has the same digit is left
    // out.
    constexpr int kBits = 11;
    constexpr std::size_t kBuckets = std::size_t{1} << kBits;
    std::vector<Key> sorted(keys.size());
    std::vector<std::size_t> count(kBuckets);
    for (int shift = 0; shift < 64; shift += kBits) {
        std::fill(count.begin(), count.end(), 0);
        for (const Key &k : keys)
            count[(k.stage >> shift) & (kBuckets - 1)]++;
        if (keys.empty() || count[(keys.front().stage >> shift) & (kBuckets - 1)] == keys.size())
            continue;
        std::size_t start = 0;
        for (std::size_t &c : count) {
            const std::size_t n = c;
            c = start;
            start += n;
        }
        for (const Key &k : keys)
            sorted[count[(k.stage >> shift) & (kBuckets - 1)]++] = k;
        keys.swap(sorted);
    }
    return indices(keys);
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
