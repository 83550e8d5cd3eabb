// Fits a gauge through the rating library: reads a gauge file (a title line,
// then stage and discharge per line; blank lines skipped), fits Q^0.5 with
// three automatic intervals of cubics, unweighted and unconstrained, and
// prints the curve's size and its value and bands at a few stages.
//
//     consumer GAUGE.dat
#include <rating/Curve.h>
#include <rating/Error.h>
#include <rating/Fit.h>
#include <rating/Gauging.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

rating::Result<rating::Station> read_gauge(const std::string &path)
{
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line))
        return rating::file_error_value(path, "cannot be read, or has no title line");
    rating::Station station;
    station.source = path;
    station.name = line;
    rating::LineNumber number = 1;
    while (std::getline(in, line)) {
        number++;
        if (line.find_first_not_of(" \t\r") == std::string::npos)
            continue;
        std::istringstream fields(line);
        rating::Gauging gauging;
        gauging.line = number;
        if (!(fields >> gauging.stage >> gauging.discharge))
            return rating::line_error_value(path, number, "expected a stage and a discharge");
        station.gaugings.push_back(gauging);
    }
    return station;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: consumer GAUGE.dat\n");
        return 2;
    }
    const rating::Result<rating::Station> station = read_gauge(argv[1]);
    if (!station) {
        std::fputs(rating::error_text(station.error()).c_str(), stderr);
        return station.error().exit_code;
    }

    rating::FitSettings settings;
    settings.nu = 0.5;
    settings.degree = 3;
    settings.intervals = 3;
    settings.intervals_auto = false;
    settings.weights = rating::WeightMode::none;
    settings.increasing = false;
    const rating::Result<rating::FitResult> fit = rating::fit_station(station.value(), settings);
    if (!fit) {
        std::fputs(rating::error_text(fit.error()).c_str(), stderr);
        return fit.error().exit_code;
    }

    const rating::Curve &curve = fit.value().curve;
    std::printf("n %d\np %d\ndof %d\ns %.17g\n", curve.n, curve.p, curve.dof, curve.s);
    std::printf("stage_range %.17g %.17g\n", curve.stage_range.first, curve.stage_range.second);
    const double t = rating::t_quantile_975(curve.dof);
    std::printf("h Q^nu Q conf_low conf_high pred_low pred_high\n");
    for (const double h : {curve.stage_range.first, 1.0, 1.5, 2.0, 2.5, 3.0, curve.stage_range.second, 3.5}) {
        const rating::BandRow band = rating::curve_band(curve, h, t);
        std::printf("%.17g %.17g %.17g %.17g %.17g %.17g %.17g\n", h, rating::curve_value(curve, h), band.discharge,
                    band.conf_low, band.conf_high, band.pred_low, band.pred_high);
    }
    return 0;
}
