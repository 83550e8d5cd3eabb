#include "FitCommand.h"

#include "CommandOutput.h"
#include "FitOutput.h"
#include "PlotScript.h"
#include "ResultFile.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <vector>

namespace {

using rating::Error;
using rating::FitSettings;
using rating::Result;

Error usage_error(const std::string &message)
{
    Error e;
    e.message = message;
    e.exit_code = 2;
    return e;
}

bool parse_double(const std::string &text, double &v)
{
    const char *end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, v);
    return ec == std::errc() && ptr == end && std::isfinite(v);
}

int decimals_of(const std::string &text)
{
    const std::size_t dot = text.find('.');
    if (dot == std::string::npos)
        return 0;
    std::size_t end = dot + 1;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9')
        end++;
    return static_cast<int>(end - dot - 1);
}

void print_error(const Error &e)
{
    std::fputs(rating::error_text(e).c_str(), stderr);
}

} // namespace

void add_fit_options(CLI::App &app, FitOptions &o)
{
    app.add_option("--delimiter", o.delimiter, "field delimiter of a CSV file: , ; or tab (default: from the header)")
        ->check(CLI::IsMember({",", ";", "tab", "\t"}));
    app.add_flag("--decimal-comma", o.read.decimal_comma, "numbers are written with a decimal comma (1,5)");
    app.add_option("--stage", o.read.stage, "the stage column");
    app.add_option("--discharge", o.read.discharge, "the discharge column");
    app.add_option("--date", o.read.date, "the date column");
    app.add_option("--uncertainty", o.read.uncertainty, "the column of the discharge's uncertainty");
    app.add_option("--active", o.read.active, "the column saying whether a gauging is used");
    app.add_option("--station", o.read.station, "the station column");
    app.add_option("--station-name", o.read.station_name, "the station-name column");
    app.add_option("--uncertainty-unit", o.uncertainty_unit,
                   "sd: one standard deviation in discharge units; percent-sd, percent-95: per cent of the "
                   "discharge at one or two standard deviations")
        ->check(CLI::IsMember({"sd", "percent-sd", "percent-95"}));
    app.add_option("--from", o.read.from, "keep the gaugings from this date (YYYY-MM-DD[ hh:mm[:ss]])");
    app.add_option("--to", o.read.to, "keep the gaugings up to this date (a date alone: its whole day)");
    app.add_option("--nu", o.nu, "the exponent applied to the discharge, or auto (default 0.5)");
    app.add_option("--nu-grid", o.nu_grid, "the exponents tried by --nu auto, from:to:step (default 0.1:1:0.05)");
    app.add_option("--degree", o.degree, "the polynomial degree, 1 to 3 (default 3)")->check(CLI::Range(1, 3));
    app.add_option("--intervals", o.intervals, "the number of intervals, or auto (default)");
    app.add_option("--max-intervals", o.max_intervals, "the most intervals --intervals auto tries (default 30)")
        ->check(CLI::Range(1, 30));
    app.add_option("--knots", o.knots, "interior knot stages h1,h2,... instead of automatic placement");
    app.add_option("--weights", o.weights, "none, uncertainty, or auto (default: by the uncertainties when every "
                                           "active gauging has one)")
        ->check(CLI::IsMember({"auto", "none", "uncertainty"}));
    app.add_flag("--increasing,!--allow-decreasing", o.increasing,
                 "replace a curve that falls with rising stage by the best rising one (default), or not");
}

Result<FitSettings> fit_settings_of(FitOptions &o)
{
    FitSettings s;
    if (!o.delimiter.empty())
        o.read.delimiter = o.delimiter == "tab" ? '\t' : o.delimiter[0];
    o.read.uncertainty_unit = o.uncertainty_unit == "percent-sd"   ? rating::UncertaintyUnit::percent_sd
                              : o.uncertainty_unit == "percent-95" ? rating::UncertaintyUnit::percent_95
                                                                   : rating::UncertaintyUnit::sd;
    s.nu_auto = o.nu == "auto";
    if (!s.nu_auto && (!parse_double(o.nu, s.nu) || s.nu == 0.0))
        return usage_error("--nu: expected a number other than 0, or auto, not '" + o.nu + "'");
    const std::size_t c1 = o.nu_grid.find(':');
    const std::size_t c2 = c1 == std::string::npos ? c1 : o.nu_grid.find(':', c1 + 1);
    if (c2 == std::string::npos || !parse_double(o.nu_grid.substr(0, c1), s.nu_grid.from) ||
        !parse_double(o.nu_grid.substr(c1 + 1, c2 - c1 - 1), s.nu_grid.to) ||
        !parse_double(o.nu_grid.substr(c2 + 1), s.nu_grid.step))
        return usage_error("--nu-grid: expected from:to:step, not '" + o.nu_grid + "'");
    s.nu_grid.decimals = decimals_of(o.nu_grid.substr(c2 + 1));
    if (s.nu_auto) {
        const auto values = rating::nu_values(s.nu_grid);
        if (!values)
            return usage_error("--nu-grid: " + values.error().message);
    }
    s.degree = o.degree;
    s.intervals_auto = o.intervals == "auto";
    if (!s.intervals_auto) {
        double v = 0.0;
        if (!parse_double(o.intervals, v) || v != static_cast<int>(v) || v < 1 || v > 98)
            return usage_error("--intervals: expected a whole number from 1 to 98, or auto, not '" + o.intervals + "'");
        s.intervals = static_cast<int>(v);
    }
    s.max_intervals = o.max_intervals;
    for (std::size_t at = 0; !o.knots.empty() && at <= o.knots.size();) {
        std::size_t comma = o.knots.find(',', at);
        if (comma == std::string::npos)
            comma = o.knots.size();
        double v = 0.0;
        if (!parse_double(o.knots.substr(at, comma - at), v))
            return usage_error("--knots: expected stages h1,h2,..., not '" + o.knots + "'");
        s.knots.push_back(v);
        at = comma + 1;
    }
    if (s.knots.size() > 97)
        return usage_error("--knots: at most 97 interior knot stages");
    if (!s.knots.empty())
        s.intervals_auto = false;
    s.weights = o.weights == "none"          ? rating::WeightMode::none
                : o.weights == "uncertainty" ? rating::WeightMode::uncertainty
                                             : rating::WeightMode::automatic;
    s.increasing = o.increasing;
    s.from = o.read.from;
    s.to = o.read.to;
    return s;
}

int parse_fit_command(CLI::App &app, FitOptions &options, int argc, char **argv, const char *name,
                      FitSettings &settings)
{
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &) {
        std::fputs(app.help().c_str(), stdout);
        return 0;
    } catch (const CLI::ParseError &e) {
        std::fprintf(stderr, "%s: %s\n\n%s", name, e.what(), app.help().c_str());
        return 2;
    }
    const Result<FitSettings> checked = fit_settings_of(options);
    if (!checked) {
        std::fprintf(stderr, "%s: %s\n\n%s", name, checked.error().message.c_str(), app.help().c_str());
        return 2;
    }
    settings = checked.value();
    return -1;
}

std::string station_file_name(const rating::Station &station, const std::string &path)
{
    if (!station.id.empty())
        return rating::safe_name(station.id);
    std::string base = path.substr(path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1);
    const std::size_t dot = base.find_last_of('.');
    if (dot != std::string::npos && dot > 0)
        base.erase(dot);
    return rating::safe_name(base.empty() ? "station" : base);
}

int fit_command(int argc, char **argv)
{
    CLI::App app("Fits a rating curve to the gaugings of one station of a CSV or NWIS field-measurement file.",
                 "rating fit");
    FitOptions options;
    std::string file;
    std::string site;
    std::string out = ".";
    std::string units;
    bool plot = false;
    app.add_option("FILE", file, "the gauging file")->required();
    app.add_option("--site", site, "the station to fit, in a file that holds several");
    app.add_option("--out", out, "the folder the results go to (default: the current folder)");
    add_fit_options(app, options);
    app.add_flag("--plot", plot, "also draw the curve and the residuals");
    app.add_option("--units", units, "units of stage and discharge for the plots' axes, e.g. \"m,m3/s\"");
    FitSettings settings;
    const int parsed = parse_fit_command(app, options, argc, argv, "rating fit", settings);
    if (parsed >= 0)
        return parsed;
    std::string stage_unit;
    std::string discharge_unit;
    if (!units.empty() && !split_units(units, stage_unit, discharge_unit)) {
        std::fprintf(stderr, "rating fit: --units: expected the stage's and the discharge's unit, as \"m,m3/s\"\n\n%s",
                     app.help().c_str());
        return 2;
    }

    Result<rating::GaugingFile> gaugings = rating::read_gauging_file(file, options.read);
    if (!gaugings) {
        print_error(gaugings.error());
        return gaugings.error().exit_code;
    }
    Result<rating::Station> station = rating::pick_station(std::move(gaugings).value(), site);
    if (!station) {
        print_error(station.error());
        return station.error().exit_code;
    }
    const rating::Station &s = station.value();
    if (!s.skipped_lines.empty()) {
        std::string lines;
        for (std::size_t i = 0; i < s.skipped_lines.size() && i < 10; i++)
            lines += (i == 0 ? "" : ", ") + std::to_string(s.skipped_lines[i]);
        if (s.skipped_lines.size() > 10)
            lines += " and " + std::to_string(s.skipped_lines.size() - 10) + " more";
        std::fprintf(stderr, "\nSkipped %zu row%s without a stage or a discharge: line%s %s of %s\n",
                     s.skipped_lines.size(), s.skipped_lines.size() == 1 ? "" : "s",
                     s.skipped_lines.size() == 1 ? "" : "s", lines.c_str(), file.c_str());
    }
    if (s.undated_left_out > 0)
        std::fprintf(stderr, "\nLeft out %lld undated gauging%s: the period needs a date\n", s.undated_left_out,
                     s.undated_left_out == 1 ? "" : "s");

    const Result<rating::FitResult> fit = rating::fit_station(s, settings);
    if (!fit) {
        print_error(fit.error());
        return fit.error().exit_code;
    }
    for (const std::string &notice : fit.value().notices)
        std::fprintf(stderr, "\n%s\n", notice.c_str());
    // The result holds its own copies of the gaugings: their memory serves
    // the files.
    std::vector<rating::Gauging>().swap(station.value().gaugings);

    const int why = make_folders(out);
    if (why != 0) {
        std::fprintf(stderr, "\nUnable to write file %s: %s\n", out.c_str(), std::strerror(why));
        return 1;
    }
    const std::string name = station_file_name(s, file);
    const StationOutput output = station_output(name, file, fit.value(), settings);
    protect_results();
    const std::string refused = prepare_output(out, out + "/" + name + ".journal");
    if (!refused.empty()) {
        std::fputs(refused.c_str(), stderr);
        return 1;
    }
    for (const OutputFile &f : output.files) {
        std::FILE *stream = open_result(out + "/" + f.name);
        if (std::fwrite(f.content.data(), 1, f.content.size(), stream) != f.content.size())
            result_write_failed(stream);
    }
    commit_results();

    const rating::Curve &c = fit.value().curve;
    std::printf("\n%s: %d gaugings, Q^%g in %d interval%s of degree %d, Se %.3g %%%s; files %s/%s.*\n",
                c.title.empty() ? name.c_str() : c.title.c_str(), c.n, c.nu, rating::intervals_of(c),
                rating::intervals_of(c) == 1 ? "" : "s", c.degree, output.figures.standard_error_pct,
                fit.value().constrained ? ", constrained to rise" : "", out.c_str(), name.c_str());
    if (plot) {
        std::string failure;
        std::vector<std::string> arguments = {"--fit", out + "/" + name, c.title.empty() ? name : c.title};
        if (!units.empty())
            arguments.insert(arguments.end(), {stage_unit, discharge_unit});
        if (c.dof < 1 || run_plot_script(arguments, failure) != 0) {
            std::fputs(c.dof < 1 ? "\nNothing was drawn: a curve without a degree of freedom has no band\n"
                                 : failure.c_str(),
                       stderr);
            return 1;
        }
    }
    return 0;
}
