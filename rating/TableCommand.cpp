// `rating table CURVE.json`: the rating table of a curve file at a round
// stage step, in the long (CSV) or wide (stage by ten steps) layout, or the
// curve's equations.
#include "TableCommand.h"

#include "CommandOutput.h"

#include "CurveFile.h"
#include "PlotScript.h"
#include "ResultFile.h"
#include "Table.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

using namespace rating;

namespace {

constexpr std::size_t kFlushSize = 1 << 16;

struct Options {
    std::string curve;
    std::string step = "0.01";
    std::optional<double> from;
    std::optional<double> to;
    std::string layout = "long";
    std::string units;
    bool equations = false;
    std::string out;
};

// Runs writing into one folder take turns; an interrupted commit there is
// completed or undone first.
void prepare_result(const std::string &out)
{
    const std::string why = prepare_output(folder_of_path(out), out + ".journal");
    if (!why.empty()) {
        std::fputs(why.c_str(), stderr);
        std::exit(1);
    }
}

// Writes to the result file, or to standard output; a failed write ends the
// run with the reason.
class Output {
public:
    explicit Output(const std::string &path) : stream_(path.empty() ? stdout : open_result(path)), file_(!path.empty())
    {}

    void write(const std::string &text)
    {
        if (text.empty())
            return;
        if (std::fwrite(text.data(), 1, text.size(), stream_) != text.size())
            failed();
    }

    void finish()
    {
        if (file_) {
            commit_results();
            return;
        }
        if (std::fflush(stdout) != 0)
            failed();
    }

private:
    [[noreturn]] void failed()
    {
        if (file_)
            result_write_failed(stream_);
        std::fprintf(stderr, "\nUnable to write to standard output: %s\n", std::strerror(errno));
        std::exit(1);
    }

    std::FILE *stream_;
    bool file_;
};

std::string percent_text(double share)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3g %%", 100.0 * share);
    return buffer;
}

// How far the table reaches beyond the gauged range, for the console.
std::string reach_notice(const Curve &curve, const TableSpec &spec, const std::string &stage_unit)
{
    const Reach reach = table_reach(curve, spec);
    if (reach.below == 0.0 && reach.above == 0.0)
        return std::string();
    const double span = curve.stage_range.second - curve.stage_range.first;
    char buffer[80];
    const auto distance = [&](double d) {
        std::snprintf(buffer, sizeof buffer, "%.4g", d);
        return std::string(buffer) + (stage_unit.empty() ? "" : " " + stage_unit);
    };
    std::snprintf(buffer, sizeof buffer, "%.10g to %.10g", curve.stage_range.first, curve.stage_range.second);
    std::string text = std::string("The table extrapolates beyond the gauged range (stage ") + buffer + "):";
    if (reach.below > 0.0)
        text += " " + distance(reach.below) + " below it (" + percent_text(reach.below / span) + " of the range)";
    if (reach.below > 0.0 && reach.above > 0.0)
        text += " and";
    if (reach.above > 0.0)
        text += " " + distance(reach.above) + " above it (" + percent_text(reach.above / span) + " of the range)";
    return text +
           ".\nThere the curve continues along its end tangent; its bands hold only as far as the tangent does.\n";
}

} // namespace

int table_command(int argc, char **argv)
{
    CLI::App app("Writes the rating table of a curve file (written by rating fit) at stages that are whole "
                 "multiples of a step, with the 95 % confidence and prediction bands, or the curve's equations.",
                 "rating table");
    Options o;
    app.add_option("CURVE", o.curve, "the curve file <name>.curve.json")->required();
    app.add_option("--step", o.step, "stage step, as written: its decimals are those of the stages (default 0.01)");
    app.add_option("--from", o.from, "lowest stage, rounded down to the step (default: the gauged range's)");
    app.add_option("--to", o.to, "highest stage, rounded up to the step (default: the gauged range's)");
    app.add_option("--layout", o.layout,
                   "long: CSV stage,discharge,conf_low,conf_high,pred_low,pred_high,range (the default); "
                   "wide: text, one line per ten steps")
        ->check(CLI::IsMember({"long", "wide"}))
        ->option_text("long|wide");
    app.add_option("--units", o.units, "units of stage and discharge for the wide layout, e.g. \"m,m3/s\"");
    app.add_flag("--equations", o.equations, "write the curve's equations, interval by interval, instead of a table");
    app.add_option("--out", o.out, "write to FILE (put in place when complete) instead of standard output")
        ->option_text("FILE");
    std::optional<StageStep> step;
    std::string stage_unit;
    try {
        app.parse(argc, argv);
        const Result<StageStep> parsed = parse_step(o.step);
        if (!parsed)
            throw CLI::ValidationError("--step", parsed.error().message);
        step = parsed.value();
        std::string discharge_unit;
        if (!o.units.empty() && !split_units(o.units, stage_unit, discharge_unit))
            throw CLI::ValidationError("--units", "expected the stage's and the discharge's unit, as \"m,m3/s\"");
        if (o.from && !std::isfinite(*o.from))
            throw CLI::ValidationError("--from", "expected a finite stage");
        if (o.to && !std::isfinite(*o.to))
            throw CLI::ValidationError("--to", "expected a finite stage");
    } catch (const CLI::CallForHelp &) {
        std::fputs(app.help().c_str(), stdout);
        return 0;
    } catch (const CLI::ParseError &e) {
        std::fprintf(stderr, "rating table: %s\n\n%s", e.what(), app.help().c_str());
        return 2;
    }

    const Result<Curve> read = read_curve_file(o.curve);
    if (!read) {
        std::fputs(error_text(read.error()).c_str(), stderr);
        return read.error().exit_code;
    }
    const Curve &curve = read.value();
    const double t = t_quantile_975(curve.dof);

    std::optional<TableSpec> spec;
    if (!o.equations) {
        const Result<TableSpec> made =
            table_spec(*step, o.from.value_or(curve.stage_range.first), o.to.value_or(curve.stage_range.second));
        if (!made) {
            std::fprintf(stderr, "rating table: %s\n\n%s", made.error().message.c_str(), app.help().c_str());
            return made.error().exit_code;
        }
        spec = made.value();
    }

    if (!o.out.empty()) {
        protect_results();
        prepare_result(o.out);
    }
    Output out(o.out);
    if (o.equations) {
        out.write(equations_text(curve));
    } else if (o.layout == "wide") {
        const Result<std::string> text = wide_table_text(curve, *spec, t, o.units);
        if (!text) {
            std::fprintf(stderr, "rating table: %s\n\n%s", text.error().message.c_str(), app.help().c_str());
            return text.error().exit_code;
        }
        out.write(text.value());
    } else {
        std::string block = kLongHeader;
        block.reserve(kFlushSize + 256);
        for (long long k = spec->first; k <= spec->last; k++) {
            append_long_row(block, *spec, table_row(curve, *spec, k, t));
            if (block.size() >= kFlushSize) {
                out.write(block);
                block.clear();
            }
        }
        out.write(block);
    }
    out.finish();

    // Notices go where the table does not.
    std::FILE *console = o.out.empty() ? stderr : stdout;
    if (!o.out.empty()) {
        if (o.equations)
            std::fprintf(console, "Equations of the curve written to %s\n", o.out.c_str());
        else
            std::fprintf(console, "Table of %lld stages written to %s\n", spec->last - spec->first + 1, o.out.c_str());
    }
    if (spec)
        std::fputs(reach_notice(curve, *spec, stage_unit).c_str(), console);
    return 0;
}
