#include "RunInput.h"

#include "Kvutil.h"
#include "Model.h"
#include "Sort2.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using rating::Error;
using rating::Status;

char Directory[kBufferSize];
char Inputfile[kBufferSize];
char Title[kBufferSize];
char Shorttitle[kBufferSize];
int Jdefault = 0;
int Nout = 0;
double Spacing = 0.0;

const char *const kControlFile = "Control.dat";
const char *const kSettingsFile = "Settings.dat";

namespace {

constexpr int kMaxListedStages = kMaxIntervals - 1;

LineNumber jdefault_line = 0;  // where Jdefault and nu stand in Settings.dat, for messages
LineNumber nu_line = 0;

// The observations as read, in file order, with their lines.
std::vector<double> stages_as_read;
std::vector<LineNumber> lines_as_read;

bool data_file_opened = false;
bool knots_by_default = false;

const Status ok = rating::Done();

// Copies at most kBufferSize - 1 characters.
void copy_cut(char *dest, const std::string &text)
{
    const std::size_t n = text.size() < kBufferSize - 1 ? text.size() : kBufferSize - 1;
    std::memcpy(dest, text.data(), n);
    dest[n] = '\0';
}

bool is_blank(const std::string &text)
{
    for (const char ch : text)
        if (!std::isspace(static_cast<unsigned char>(ch)))
            return false;
    return true;
}

std::string format_g(const char *format, double a, double b, double c)
{
    char text[160];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

// Loads Control.dat, Settings.dat or the data file: one that cannot be
// opened is an error of its own kind with exit code -1 (the run pauses
// after it); a folder, device or pipe in its place is refused.
Status load_input(const char *path, TextFile &tf)
{
    const int why = load_text(path, tf);
    if (why == kIsFolder || why == kNotRegularFile)
        return rating::file_error_value(path, load_failure(why));
    if (why != 0) {
        Error e = rating::file_error_value(path, load_failure(why), -1);
        e.kind = rating::ErrorKind::cannot_open;
        return e;
    }
    return ok;
}

// Reads one setting and throws away the rest of its line; `line` is its line.
Status read_setting(TextFile &tf, double &value, const char *what, LineNumber &line)
{
    if (!read_double(tf, value))
        return rating::line_error_value(tf.name, tf.line, std::string("expected ") + what);
    line = tf.line;
    skip_rest_of_line(tf);
    return ok;
}

Status read_setting(TextFile &tf, int &value, const char *what, LineNumber &line)
{
    if (!read_int(tf, value))
        return rating::line_error_value(tf.name, tf.line, std::string("expected ") + what + " (a whole number)");
    line = tf.line;
    skip_rest_of_line(tf);
    return ok;
}

// A listed stage at an end of the observed stages, in the message the run
// has always given for it.
Error knot_at_end(const TextFile &tf, LineNumber line, const char *which, double stage)
{
    char text[160];
    std::snprintf(text, sizeof text, "Knots file contains %s%g", which, stage);
    Error e = rating::line_error_value(tf.name, line, text);
    e.kind = rating::ErrorKind::standalone;
    return e;
}

Status read_listed_knots(TextFile &tf)
{
    std::vector<double> stages;
    std::vector<LineNumber> lines;
    double v;
    if (!read_double(tf, v))
        return rating::line_error_value(tf.name, tf.line, "expected the first knot stage");
    stages.push_back(v);
    lines.push_back(tf.line);
    skip_rest_of_line(tf);
    while (skip_space(tf)) {
        const LineNumber line = tf.line;
        if (!read_double(tf, v))
            return rating::line_error_value(tf.name, line, "expected a knot stage");
        stages.push_back(v);
        lines.push_back(line);
    }

    if (std::fabs(stages.front() - h[1]) < 0.01)
        return knot_at_end(tf, lines.front(), "lowest stage - please delete first entry ", stages.front());
    if (std::fabs(stages.back() - h[N]) < 0.01)
        return knot_at_end(tf, lines.back(), "highest stage - please delete last entry ", stages.back());
    if (stages.size() > static_cast<std::size_t>(kMaxListedStages))
        return rating::line_error_value(tf.name, lines[kMaxListedStages], "more than 97 knot stages");
    for (std::size_t k = 0; k < stages.size(); k++) {
        if (!std::isfinite(stages[k]))
            return rating::line_error_value(tf.name, lines[k], "the knot stage is not a finite number");
        if (k > 0 && !(stages[k] > stages[k - 1]))
            return rating::line_error_value(tf.name, lines[k], "the knot stages must be strictly ascending");
        if (!(stages[k] > h[1] && stages[k] < h[N]))
            return rating::line_error_value(
                tf.name, lines[k],
                format_g("the knot stage %g lies outside the observed stages %g to %g", stages[k], h[1], h[N]));
    }

    list_knots(stages.data(), static_cast<int>(stages.size()));
    return ok;
}

} // namespace

std::string data_set_path(const char *extension)
{
    return std::string(Directory) + "/" + Inputfile + "." + extension;
}

Status read_control()
{
    TextFile tf;
    if (const Status loaded = load_input(kControlFile, tf); !loaded)
        return loaded;
    const std::string folder = read_word(tf);
    const LineNumber folder_line = tf.line;
    const std::string name = read_word(tf);
    if (name.empty())
        return rating::line_error_value(tf.name, tf.line,
                                        "expected two words: the folder and the name of the data set");
    if (folder.size() > kBufferSize - 1)
        return rating::line_error_value(tf.name, folder_line, "the folder is longer than 199 characters");
    if (name.size() > kBufferSize - 1)
        return rating::line_error_value(tf.name, tf.line, "the name of the data set is longer than 199 characters");
    // ".knots" makes the longest of the data set's paths.
    if (folder.size() + name.size() + 7 > kBufferSize - 1)
        return rating::file_error_value(tf.name,
                                        "the path " + folder + "/" + name + ".knots is longer than 199 characters");
    copy_cut(Directory, folder);
    copy_cut(Inputfile, name);
    return ok;
}

Status read_settings()
{
    TextFile tf;
    if (const Status loaded = load_input(kSettingsFile, tf); !loaded)
        return loaded;
    skip_rest_of_line(tf);
    LineNumber m_line = 0;
    LineNumber nout_line = 0;
    LineNumber spacing_line = 0;
    Status read = read_setting(tf, nu, "the exponent nu", nu_line);
    if (read)
        read = read_setting(tf, Jdefault, "the default number of intervals Jdefault", jdefault_line);
    if (read)
        read = read_setting(tf, M, "the polynomial degree M", m_line);
    if (read)
        read = read_setting(tf, Nout, "the number of output steps Nout", nout_line);
    if (read)
        read = read_setting(tf, Spacing, "the exponent of the output spacing Spacing", spacing_line);
    if (!read)
        return read;

    if (!std::isfinite(nu) || nu == 0.0)
        return rating::line_error_value(tf.name, nu_line, "the exponent nu must be a finite number other than 0");
    if (M < 1 || M > 3)
        return rating::line_error_value(tf.name, m_line, "the polynomial degree M must be 1, 2 or 3");
    if (Nout < 1)
        return rating::line_error_value(tf.name, nout_line, "the number of output steps Nout must be at least 1");
    if (!std::isfinite(Spacing) || !(Spacing > 0.0))
        return rating::line_error_value(tf.name, spacing_line, "the exponent Spacing must be a finite number above 0");
    return ok;
}

Status read_observations()
{
    const std::string path = data_set_path("dat");
    TextFile tf;
    data_file_opened = false;
    if (const Status loaded = load_input(path.c_str(), tf); !loaded)
        return loaded;
    data_file_opened = true;

    const std::string first = take_rest_of_line(tf);
    copy_cut(Title, first);
    copy_cut(Shorttitle, first.size() > 2 ? first.substr(2) : std::string());

    std::vector<double> &stages = stages_as_read;
    std::vector<double> discharges;
    stages.clear();
    lines_as_read.clear();
    while (!at_end(tf)) {
        const LineNumber line = tf.line;
        const std::string text = take_rest_of_line(tf);
        if (is_blank(text))
            continue;
        double hv = 0.0;
        double qv = 0.0;
        const char *end = nullptr;
        if (!scan_number(text.c_str(), hv, &end) || !scan_number(end, qv, &end))
            return rating::line_error_value(tf.name, line, "expected a stage and a discharge");
        if (!std::isfinite(hv))
            return rating::line_error_value(tf.name, line, "the stage is not a finite number");
        if (!std::isfinite(qv))
            return rating::line_error_value(tf.name, line, "the discharge is not a finite number");
        if (qv < 0.0)
            return rating::line_error_value(tf.name, line, "the discharge is negative");
        if (qv == 0.0 && nu < 0.0)
            return rating::line_error_value(tf.name, line,
                                            "a discharge of 0 cannot be raised to the negative power nu");
        if (stages.size() >= static_cast<std::size_t>(INT_MAX / 2))
            return rating::line_error_value(tf.name, line, "too many observations");
        stages.push_back(hv);
        discharges.push_back(qv);
        lines_as_read.push_back(line);
    }
    if (stages.empty())
        return rating::file_error_value(
            tf.name, "no observations: expected lines of a stage and a discharge after the title line");

    N = static_cast<int>(stages.size());
    h = dvector(1, N);
    Q = dvector(1, N);
    Qnu = dvector(1, N);
    I = ivector(1, N);
    for (int i = 1; i <= N; i++) {
        h[i] = stages[i - 1];
        Q[i] = discharges[i - 1];
    }
    sort2(N, h, Q);
    hmin = h[1];
    hmax = h[N];
    hrange = hmax - hmin;
    return ok;
}

bool observations_opened()
{
    return data_file_opened;
}

Status place_knots()
{
    const std::string path = data_set_path("knots");
    TextFile tf;
    knots_by_default = false;
    const int why = load_text(path.c_str(), tf);
    if (why != 0 && why != ENOENT)
        return rating::file_error_value(path, "the knots file cannot be read: " + load_failure(why));
    const bool have_file = why == 0;
    knots_by_default = !have_file;
    LineNumber mode_line = jdefault_line;
    if (have_file) {
        skip_rest_of_line(tf);
        if (!read_int(tf, Jknot))
            return rating::line_error_value(tf.name, tf.line,
                                            "expected the knot mode: a negative whole number when knot stages follow, "
                                            "or the number of intervals");
        mode_line = tf.line;
        skip_rest_of_line(tf);
        if (Jknot == 0)
            return rating::line_error_value(tf.name, mode_line, "a knot mode of 0 asks for no intervals");
    } else {
        Jknot = Jdefault;
        if (Jdefault < 1 || Jdefault > kMaxIntervals)
            return rating::line_error_value(kSettingsFile, jdefault_line,
                                            "the default number of intervals Jdefault must be 1 to 98");
    }

    if (Jknot < 0) {
        if (const Status listed = read_listed_knots(tf); !listed)
            return listed;
    } else {
        const std::string source = have_file ? tf.name : std::string(kSettingsFile);
        if (Jknot > kMaxIntervals)
            return rating::line_error_value(source, mode_line, "more than 98 intervals");
        if (Jknot > N)
            return rating::line_error_value(source, mode_line,
                                            std::to_string(Jknot) +
                                                " intervals need at least as many observations, but there are only " +
                                                std::to_string(N));
        place_automatic();
    }
    complete_knots();
    return ok;
}

bool default_knots()
{
    return knots_by_default;
}

std::vector<LineNumber> gauging_lines()
{
    // The paired sort moves pairs by their keys alone, so the same stages
    // with the positions as companions take the same way as h and Q did.
    double *keys = dvector(1, N);
    double *where = dvector(1, N);
    for (int i = 1; i <= N; i++) {
        keys[i] = stages_as_read[static_cast<std::size_t>(i - 1)];
        where[i] = i - 1;
    }
    sort2(N, keys, where);
    std::vector<LineNumber> lines(static_cast<std::size_t>(N) + 1, 0);
    for (int i = 1; i <= N; i++)
        lines[static_cast<std::size_t>(i)] = lines_as_read[static_cast<std::size_t>(where[i])];
    free_dvector(where, 1, N);
    free_dvector(keys, 1, N);
    return lines;
}

Status transform_discharges()
{
    for (int i = 1; i <= N; i++)
        Qnu[i] = std::pow(Q[i], nu);

    char text[400];
    for (int i = 1; i <= N; i++) {
        if (std::isfinite(Qnu[i]))
            continue;
        const LineNumber line = gauging_lines()[static_cast<std::size_t>(i)];
        std::snprintf(text, sizeof text,
                      "with nu = %g the discharge %g on line %lld of %s gives Q^nu = %g, which cannot be fitted; "
                      "expected an exponent nu that keeps Q^nu finite",
                      nu, Q[i], line, data_set_path("dat").c_str(), Qnu[i]);
        return rating::line_error_value(kSettingsFile, nu_line, text);
    }
    bool same_discharges = true;
    bool same_transformed = true;
    for (int i = 2; i <= N; i++) {
        same_discharges = same_discharges && Q[i] == Q[1];
        same_transformed = same_transformed && Qnu[i] == Qnu[1];
    }
    if (same_transformed && !same_discharges) {
        std::snprintf(text, sizeof text,
                      "with nu = %g every discharge gives the same Q^nu = %g, which cannot be fitted; "
                      "expected an exponent nu that keeps the discharges apart",
                      nu, Qnu[1]);
        return rating::line_error_value(kSettingsFile, nu_line, text);
    }
    return ok;
}
