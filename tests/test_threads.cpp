// Fits of different stations on several threads at once give the bits they
// give one after another: the 60 gauges of the test data, fitted with the
// default settings (model selection, rising curve), with a set model (3
// intervals of cubics in Q^0.5, unweighted, unconstrained) and, given an
// uncertainty for every gauging, weighted, on 4 threads that take the fits
// from one list, in several rounds. Each fit is compared with the sequential
// one field by field, doubles by their bits.
//
// The test also runs under ThreadSanitizer (make test-tsan), which would
// report any shared state written by the fits.
#include "Fit.h"
#include "GaugingFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using rating::FitResult;
using rating::FitSettings;
using rating::Result;
using rating::Station;

const char *const kCsv = RATING_SOURCE_DIR "/tests/data/usgs-field-measurements.csv";
constexpr int kThreads = 4;
constexpr int kRounds = 5;

std::vector<Station> read_stations()
{
    const Result<rating::GaugingFile> file = rating::read_gauging_file(kCsv, rating::ReadOptions{});
    if (!file)
        throw std::runtime_error(rating::error_text(file.error()));
    return file.value().stations;
}

// The stations with an uncertainty for every gauging (2 % or 8 % of the
// discharge by turns, and 0.01 besides), which the default settings weight by.
std::vector<Station> with_uncertainties(std::vector<Station> stations)
{
    for (Station &station : stations)
        for (rating::Gauging &g : station.gaugings)
            g.sigma = 0.01 + (g.line % 2 == 0 ? 0.02 : 0.08) * g.discharge;
    return stations;
}

FitSettings set_model()
{
    FitSettings s;
    s.nu = 0.5;
    s.degree = 3;
    s.intervals = 3;
    s.intervals_auto = false;
    s.weights = rating::WeightMode::none;
    s.increasing = false;
    return s;
}

// Collects the fields of two results that differ, by name.
class Differences {
public:
    void same(const std::string &what, double a, double b)
    {
        std::uint64_t x, y;
        std::memcpy(&x, &a, sizeof x);
        std::memcpy(&y, &b, sizeof y);
        if (x != y)
            note(what, a, b);
    }
    void same(const std::string &what, const std::vector<double> &a, const std::vector<double> &b)
    {
        if (a.size() != b.size())
            return note(what + ".size()", a.size(), b.size());
        for (std::size_t i = 0; i < a.size(); i++)
            same(what + "[" + std::to_string(i) + "]", a[i], b[i]);
    }
    template <class T>
    void equal(const std::string &what, const T &a, const T &b)
    {
        if (!(a == b))
            note(what, a, b);
    }
    std::string text() const { return out_.str(); }
    bool none() const { return out_.str().empty(); }

private:
    template <class T>
    void note(const std::string &what, const T &a, const T &b)
    {
        out_.precision(17);
        out_ << "  " << what << ": " << a << " sequentially, " << b << " on a thread\n";
    }
    std::ostringstream out_;
};

void compare_gauging(Differences &d, const std::string &at, const rating::FittedGauging &a,
                     const rating::FittedGauging &b)
{
    d.equal(at + ".line", a.gauging.line, b.gauging.line);
    d.same(at + ".stage", a.gauging.stage, b.gauging.stage);
    d.same(at + ".discharge", a.gauging.discharge, b.gauging.discharge);
    d.same(at + ".fitted_nu", a.fitted_nu, b.fitted_nu);
    d.same(at + ".residual_nu", a.residual_nu, b.residual_nu);
    d.equal(at + ".interval", a.interval, b.interval);
    d.same(at + ".u", a.u, b.u);
    d.same(at + ".weight", a.weight, b.weight);
}

std::string differences(const Result<FitResult> &a, const Result<FitResult> &b)
{
    Differences d;
    d.equal("ok", a.ok(), b.ok());
    if (!a.ok() || !b.ok()) {
        if (!a.ok() && !b.ok()) {
            d.equal("error.message", a.error().message, b.error().message);
            d.equal("error.line", a.error().line, b.error().line);
        }
        return d.text();
    }
    const FitResult &x = a.value(), &y = b.value();
    const rating::Curve &c = x.curve, &e = y.curve;
    d.same("nu", c.nu, e.nu);
    d.equal("degree", c.degree, e.degree);
    d.same("knots", c.knots, e.knots);
    d.same("coefficients", c.coefficients, e.coefficients);
    d.same("stage_range.first", c.stage_range.first, e.stage_range.first);
    d.same("stage_range.second", c.stage_range.second, e.stage_range.second);
    d.equal("n", c.n, e.n);
    d.equal("n_inactive", c.n_inactive, e.n_inactive);
    d.equal("p", c.p, e.p);
    d.equal("dof", c.dof, e.dof);
    d.same("s", c.s, e.s);
    d.same("covariance", c.covariance, e.covariance);
    d.equal("weighted", c.weighted, e.weighted);
    d.same("s_m", c.s_m, e.s_m);
    d.same("r", c.r, e.r);
    d.equal("period_first", c.period_first, e.period_first);
    d.equal("period_last", c.period_last, e.period_last);
    d.equal("constraints.size()", c.constraints.size(), e.constraints.size());
    for (std::size_t i = 0; i < std::min(c.constraints.size(), e.constraints.size()); i++) {
        d.same("constraints[" + std::to_string(i) + "].first", c.constraints[i].first, e.constraints[i].first);
        d.same("constraints[" + std::to_string(i) + "].second", c.constraints[i].second, e.constraints[i].second);
    }
    d.equal("selection.made", c.selection.made, e.selection.made);
    d.same("selection.nu", c.selection.nu, e.selection.nu);
    d.equal("selection.intervals", c.selection.intervals, e.selection.intervals);
    d.same("selection.cv_se_pct", c.selection.cv_se_pct, e.selection.cv_se_pct);

    d.same("interval_knots", x.interval_knots, y.interval_knots);
    d.equal("active.size()", x.active.size(), y.active.size());
    for (std::size_t i = 0; i < std::min(x.active.size(), y.active.size()); i++)
        compare_gauging(d, "active[" + std::to_string(i) + "]", x.active[i], y.active[i]);
    d.equal("inactive.size()", x.inactive.size(), y.inactive.size());
    for (std::size_t i = 0; i < std::min(x.inactive.size(), y.inactive.size()); i++)
        compare_gauging(d, "inactive[" + std::to_string(i) + "]", x.inactive[i], y.inactive[i]);
    d.same("sse_nu", x.sse_nu, y.sse_nu);
    d.same("sse_nu_unconstrained", x.sse_nu_unconstrained, y.sse_nu_unconstrained);
    d.equal("constrained", x.constrained, y.constrained);
    d.same("se_unconstrained_pct", x.se_unconstrained_pct, y.se_unconstrained_pct);
    d.same("explained_share", x.explained_share, y.explained_share);
    d.equal("selection.size()", x.selection.size(), y.selection.size());
    for (std::size_t i = 0; i < std::min(x.selection.size(), y.selection.size()); i++) {
        const rating::Candidate &p = x.selection[i], &q = y.selection[i];
        const std::string at = "selection[" + std::to_string(i) + "]";
        d.same(at + ".nu", p.nu, q.nu);
        d.equal(at + ".intervals", p.intervals, q.intervals);
        d.same(at + ".cv_se_pct", p.cv_se_pct, q.cv_se_pct);
        d.same(at + ".se_pct", p.se_pct, q.se_pct);
        d.equal(at + ".eligible", p.eligible, q.eligible);
        d.equal(at + ".chosen", p.chosen, q.chosen);
    }
    d.equal("notices.size()", x.notices.size(), y.notices.size());
    for (std::size_t i = 0; i < std::min(x.notices.size(), y.notices.size()); i++)
        d.equal("notices[" + std::to_string(i) + "]", x.notices[i], y.notices[i]);
    return d.text();
}

struct Job {
    const Station *station;
    const FitSettings *settings;
};

// Every job once, on kThreads threads that start together and take the
// next job from a shared counter.
std::vector<Result<FitResult>> fit_on_threads(const std::vector<Job> &jobs)
{
    std::vector<std::optional<Result<FitResult>>> slots(jobs.size());
    std::atomic<std::size_t> next{0};
    std::atomic<int> waiting{kThreads};
    auto work = [&] {
        waiting--;
        while (waiting.load() > 0)
            std::this_thread::yield();
        for (std::size_t k; (k = next++) < jobs.size();)
            slots[k].emplace(rating::fit_station(*jobs[k].station, *jobs[k].settings));
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back(work);
    for (std::thread &t : threads)
        t.join();
    std::vector<Result<FitResult>> results;
    for (std::optional<Result<FitResult>> &slot : slots)
        results.push_back(std::move(*slot));
    return results;
}

TEST(Threads, FitsOnFourThreadsEqualSequentialFitsToTheBit)
{
    const std::vector<Station> stations = read_stations();
    ASSERT_EQ(stations.size(), 60u);
    const std::vector<Station> with_sigma = with_uncertainties(stations);
    const FitSettings defaults;
    const FitSettings set = set_model();
    struct Variant {
        const char *name;
        const std::vector<Station> *stations;
        const FitSettings *settings;
    };
    const Variant variants[] = {{"default settings", &stations, &defaults},
                                {"set model", &stations, &set},
                                {"weighted, default settings", &with_sigma, &defaults}};

    std::vector<Job> jobs;
    std::vector<std::string> names;
    std::vector<Result<FitResult>> sequential;
    for (const Variant &variant : variants)
        for (const Station &station : *variant.stations) {
            jobs.push_back({&station, variant.settings});
            names.push_back("station " + station.id + ", " + variant.name);
            sequential.push_back(rating::fit_station(station, *variant.settings));
        }
    // Refusals would compare equal as easily as curves: every gauge is fitted.
    for (std::size_t k = 0; k < jobs.size(); k++)
        ASSERT_TRUE(sequential[k].ok()) << names[k] << ": " << rating::error_text(sequential[k].error());
    for (std::size_t k = 2 * stations.size(); k < jobs.size(); k++)
        ASSERT_TRUE(sequential[k].value().curve.weighted) << names[k];

    for (int round = 1; round <= kRounds; round++) {
        const std::vector<Result<FitResult>> parallel = fit_on_threads(jobs);
        ASSERT_EQ(parallel.size(), jobs.size());
        for (std::size_t k = 0; k < jobs.size(); k++) {
            const std::string diff = differences(sequential[k], parallel[k]);
            EXPECT_TRUE(diff.empty()) << "round " << round << ", " << names[k] << ":\n" << diff;
        }
    }
}

// The comparison itself sees a change in the last bit of any number.
TEST(Threads, ComparisonSeesOneBitOfChange)
{
    const std::vector<Station> stations = read_stations();
    ASSERT_FALSE(stations.empty());
    const Result<FitResult> fit = rating::fit_station(with_uncertainties(stations).front(), FitSettings{});
    ASSERT_TRUE(fit.ok()) << rating::error_text(fit.error());
    EXPECT_EQ(differences(fit, fit), "");

    FitResult changed = fit.value();
    changed.curve.coefficients.back() = std::nextafter(changed.curve.coefficients.back(), 1e300);
    EXPECT_NE(differences(fit, changed).find("coefficients["), std::string::npos);

    changed = fit.value();
    changed.curve.covariance[1] = std::nextafter(changed.curve.covariance[1], -1e300);
    EXPECT_NE(differences(fit, changed).find("covariance[1]"), std::string::npos);

    changed = fit.value();
    changed.active.back().residual_nu = -changed.active.back().residual_nu;
    EXPECT_NE(differences(fit, changed).find("residual_nu"), std::string::npos);
}

} // namespace
