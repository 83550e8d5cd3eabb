#include "Driver.h"

#include "Kvutil.h"
#include "Model.h"
#include "Optimise.h"
#include "Sort2.h"
#include "TextInput.h"

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

char Directory[kBufferSize];
char Inputfile[kBufferSize];
char Path[kBufferSize];
char Title[kBufferSize];
char Shorttitle[kBufferSize];
int Jdefault = 0;
int Nout = 0;
double Spacing = 0.0;
double *x = nullptr;
double **A = nullptr;
int iter = 0;
double fret = 0.0;

namespace {

const char *const kControlFile = "Control.dat";
const char *const kSettingsFile = "Settings.dat";
const char *const kSourceFile = "Source.plt";
constexpr int kMaxListedStages = kMaxIntervals - 1;

int jdefault_line = 0;  // where Jdefault stands in Settings.dat, for messages

// A file being written under a temporary name beside its final one. It takes
// the final name only once it is complete, so a run that ends early leaves
// an earlier result as it was and no half-written file behind.
struct PendingFile {
    std::string final_path;
    std::string temp_path;
    bool done;
};

std::vector<PendingFile> pending_files;

void remove_unfinished_files()
{
    for (const PendingFile &p : pending_files)
        if (!p.done)
            std::remove(p.temp_path.c_str());
}

[[noreturn]] void cannot_open(const char *path)
{
    std::printf("\nUnable to open file %s\n", path);
    std::printf("\nPaused: ");
    std::fflush(stdout);
    std::getchar();
    std::exit(-1);
}

[[noreturn]] void cannot_write(const std::string &path)
{
    std::printf("\nUnable to write file %s\n", path.c_str());
    std::exit(1);
}

std::FILE *open_pending(const std::string &final_path)
{
    static bool cleanup_registered = false;
    if (!cleanup_registered) {
        std::atexit(remove_unfinished_files);
        cleanup_registered = true;
    }
    std::string temp_path = final_path + ".XXXXXX";
    const int fd = mkstemp(temp_path.data());
    if (fd < 0) {
        std::printf("\nUnable to create file %s\n", final_path.c_str());
        std::exit(1);
    }
    pending_files.push_back({final_path, temp_path, false});
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    std::FILE *f = fdopen(fd, "w");
    if (f == nullptr) {
        close(fd);
        cannot_write(final_path);
    }
    return f;
}

void commit_pending(std::FILE *f, const std::string &final_path)
{
    bool ok = std::fflush(f) == 0 && !std::ferror(f);
    ok = std::fclose(f) == 0 && ok;
    for (PendingFile &p : pending_files) {
        if (p.final_path != final_path || p.done)
            continue;
        if (!ok || std::rename(p.temp_path.c_str(), final_path.c_str()) != 0)
            cannot_write(final_path);
        p.done = true;
        return;
    }
}

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

void compose_path(const char *extension)
{
    const int length = std::snprintf(Path, sizeof Path, "%s/%s.%s", Directory, Inputfile, extension);
    if (length < 0 || length >= kBufferSize)
        file_error(kControlFile, std::string("the path of the .") + extension + " file is too long");
}

// Reads one setting and throws away the rest of its line; returns its line.
int read_setting(TextFile &tf, double &value, const char *what)
{
    if (!read_double(tf, value))
        input_error(tf.name, tf.line, std::string("expected ") + what);
    const int line = tf.line;
    skip_rest_of_line(tf);
    return line;
}

int read_setting(TextFile &tf, int &value, const char *what)
{
    if (!read_int(tf, value))
        input_error(tf.name, tf.line, std::string("expected ") + what + " (a whole number)");
    const int line = tf.line;
    skip_rest_of_line(tf);
    return line;
}

void read_listed_knots(TextFile &tf)
{
    std::vector<double> stages;
    std::vector<int> lines;
    double v;
    if (!read_double(tf, v))
        input_error(tf.name, tf.line, "expected the first knot stage");
    stages.push_back(v);
    lines.push_back(tf.line);
    skip_rest_of_line(tf);
    while (skip_space(tf)) {
        const int line = tf.line;
        if (!read_double(tf, v))
            input_error(tf.name, line, "expected a knot stage");
        stages.push_back(v);
        lines.push_back(line);
    }

    if (std::fabs(stages.front() - h[1]) < 0.01) {
        std::printf("\n\nKnots file contains lowest stage - please delete first entry %g\n", stages.front());
        std::exit(1);
    }
    if (std::fabs(stages.back() - h[N]) < 0.01) {
        std::printf("\n\nKnots file contains highest stage - please delete last entry %g\n", stages.back());
        std::exit(1);
    }
    if (stages.size() > static_cast<std::size_t>(kMaxListedStages))
        input_error(tf.name, lines[kMaxListedStages], "more than 97 knot stages");
    for (std::size_t k = 0; k < stages.size(); k++) {
        if (!std::isfinite(stages[k]))
            input_error(tf.name, lines[k], "the knot stage is not a finite number");
        if (k > 0 && !(stages[k] > stages[k - 1]))
            input_error(tf.name, lines[k], "the knot stages must be strictly ascending");
        if (!(stages[k] > h[1] && stages[k] < h[N]))
            input_error(tf.name, lines[k],
                        format_g("the knot stage %g lies outside the observed stages %g to %g",
                                 stages[k], h[1], h[N]));
    }

    J = static_cast<int>(stages.size()) + 1;
    Y[1] = h[1];
    for (int k = 2; k <= J; k++)
        Y[k] = stages[k - 2];
    Y[J + 1] = h[N];
    assign_by_knots();
}

} // namespace

void assign_by_knots()
{
    for (int i = 1; i <= N; i++)
        for (int j = 1; j <= J; j++)
            if (h[i] >= Y[j])
                I[i] = j;
}

// Equal numbers of observations per interval; each interior knot midway
// between the last observation of one interval and the first of the next.
void place_automatic()
{
    J = Jknot;
    const double NJ = static_cast<double>(N) / J;
    int ia = 1;
    Y[1] = h[1];
    for (int q = 1; q <= J; q++) {
        const int iz = static_cast<int>(std::round(q * NJ));
        for (int i = ia; i <= iz; i++)
            I[i] = q;
        ia = iz + 1;
        if (q < J)
            Y[q + 1] = (h[iz] + h[iz + 1]) * 0.5;
    }
    Y[J + 1] = h[N];
}

void read_control()
{
    TextFile tf;
    if (!load_text(kControlFile, tf))
        cannot_open(kControlFile);
    const std::string folder = read_word(tf);
    const int folder_line = tf.line;
    const std::string name = read_word(tf);
    if (name.empty())
        input_error(tf.name, tf.line, "expected two words: the folder and the name of the data set");
    if (folder.size() > kBufferSize - 1)
        input_error(tf.name, folder_line, "the folder is longer than 199 characters");
    if (name.size() > kBufferSize - 1)
        input_error(tf.name, tf.line, "the name of the data set is longer than 199 characters");
    // ".knots" makes the longest of the data set's paths.
    if (folder.size() + name.size() + 7 > kBufferSize - 1)
        file_error(tf.name, "the path " + folder + "/" + name + ".knots is longer than 199 characters");
    copy_cut(Directory, folder);
    copy_cut(Inputfile, name);
}

void read_settings()
{
    TextFile tf;
    if (!load_text(kSettingsFile, tf))
        cannot_open(kSettingsFile);
    skip_rest_of_line(tf);
    const int nu_line = read_setting(tf, nu, "the exponent nu");
    jdefault_line = read_setting(tf, Jdefault, "the default number of intervals Jdefault");
    const int m_line = read_setting(tf, M, "the polynomial degree M");
    const int nout_line = read_setting(tf, Nout, "the number of output steps Nout");
    const int spacing_line = read_setting(tf, Spacing, "the exponent of the output spacing Spacing");

    if (!std::isfinite(nu) || nu == 0.0)
        input_error(tf.name, nu_line, "the exponent nu must be a finite number other than 0");
    if (M < 1 || M > 3)
        input_error(tf.name, m_line, "the polynomial degree M must be 1, 2 or 3");
    if (Nout < 1)
        input_error(tf.name, nout_line, "the number of output steps Nout must be at least 1");
    if (!std::isfinite(Spacing) || !(Spacing > 0.0))
        input_error(tf.name, spacing_line, "the exponent Spacing must be a finite number above 0");
}

void write_source_plt()
{
    out = open_pending(kSourceFile);
    std::fputs("# Control file for single plots\n", out);
    std::fprintf(out, "\nName=\"%s\"", Inputfile);
    std::fprintf(out, "\nFolder=\"%s\"", Directory);
    commit_pending(out, kSourceFile);
    out = nullptr;
}

void read_observations()
{
    compose_path("dat");
    TextFile tf;
    if (!load_text(Path, tf))
        cannot_open(Path);

    const std::string first = take_rest_of_line(tf);
    copy_cut(Title, first);
    copy_cut(Shorttitle, first.size() > 2 ? first.substr(2) : std::string());
    std::printf("\n%s", Shorttitle);

    std::vector<double> stages;
    std::vector<double> discharges;
    while (!at_end(tf)) {
        const int line = tf.line;
        const std::string text = take_rest_of_line(tf);
        if (is_blank(text))
            continue;
        double hv = 0.0;
        double qv = 0.0;
        const char *end = nullptr;
        if (!scan_number(text.c_str(), hv, &end) || !scan_number(end, qv, &end))
            input_error(tf.name, line, "expected a stage and a discharge");
        if (!std::isfinite(hv))
            input_error(tf.name, line, "the stage is not a finite number");
        if (!std::isfinite(qv))
            input_error(tf.name, line, "the discharge is not a finite number");
        if (qv < 0.0)
            input_error(tf.name, line, "the discharge is negative");
        if (qv == 0.0 && nu < 0.0)
            input_error(tf.name, line, "a discharge of 0 cannot be raised to the negative power nu");
        if (stages.size() >= static_cast<std::size_t>(INT_MAX / 2))
            input_error(tf.name, line, "too many observations");
        stages.push_back(hv);
        discharges.push_back(qv);
    }
    if (stages.empty())
        file_error(tf.name, "no observations: expected lines of a stage and a discharge after the title line");

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
}

void place_knots()
{
    compose_path("knots");
    TextFile tf;
    const bool have_file = load_text(Path, tf);
    int mode_line = jdefault_line;
    if (have_file) {
        skip_rest_of_line(tf);
        if (!read_int(tf, Jknot))
            input_error(tf.name, tf.line,
                        "expected the knot mode: a negative whole number when knot stages follow, "
                        "or the number of intervals");
        mode_line = tf.line;
        skip_rest_of_line(tf);
        if (Jknot == 0)
            input_error(tf.name, mode_line, "a knot mode of 0 asks for no intervals");
    } else {
        Jknot = Jdefault;
        std::printf("\n\nNo knots file - proceed with default knots");
        if (Jdefault < 1 || Jdefault > kMaxIntervals)
            input_error(kSettingsFile, jdefault_line, "the default number of intervals Jdefault must be 1 to 98");
    }

    if (Jknot < 0) {
        read_listed_knots(tf);
    } else {
        const std::string source = have_file ? tf.name : std::string(kSettingsFile);
        if (Jknot > kMaxIntervals)
            input_error(source, mode_line, "more than 98 intervals");
        if (Jknot > N)
            input_error(source, mode_line,
                        std::to_string(Jknot) + " intervals need at least as many observations, but there are only " +
                            std::to_string(N));
        place_automatic();
    }

    delta = dvector(1, J);
    for (int j = 1; j <= J; j++)
        delta[j] = Y[j + 1] - Y[j];
    c = dmatrix(1, J + 1, 0, M);
    Y0 = &Y[1];
}

void fit_and_write_results()
{
    compose_path("res");
    const std::string res_path = Path;
    compose_path("plt");
    const std::string plt_path = Path;
    // Both files are made before the fit, so that a folder that cannot take
    // them is known before the work is done.
    std::FILE *res = open_pending(res_path);
    std::FILE *plt = open_pending(plt_path);

    NN = J + M;
    x = dvector(1, NN);
    A = dmatrix(1, NN, 1, NN);
    for (int i = 1; i <= N; i++)
        Qnu[i] = std::pow(Q[i], nu);
    for (int i = 1; i <= NN; i++) {
        x[i] = 0.0;
        for (int k = 1; k <= NN; k++)
            A[i][k] = 0.0;
        A[i][i] = 1.0;
    }
    Powell(x, A, NN, 1e-16, &iter, &fret, Eqn);
    Transfer(x);
    Continuity();

    out = res;
    std::fprintf(out, "%s", Title);
    std::fputs("\n# Computed rating curve", out);
    std::fputs("\n# h ", out);
    std::fprintf(out, "nu =%6.3f ", nu);
    std::fputc('\n', out);
    for (long i = 0; i <= Nout; i++) {
        const double hout = std::pow(static_cast<double>(i) / Nout, Spacing) * hrange + hmin;
        double t1 = P(hout);
        if (t1 < 0.0)
            t1 = 1e-10;
        const double Qout = std::pow(t1, 1.0 / nu);
        std::fprintf(out, "\n%.5g\t%.5g", hout, Qout);
    }
    commit_pending(out, res_path);

    out = plt;
    std::fprintf(out, "Title = \"%s\"", Shorttitle);
    if (Jknot < 0) {
        std::printf("\n\nKnot points from file: %d intervals\n", J);
        std::fprintf(out, "\nSpline_label = ' - sploines: %d intervals, knot stages from file'", J);
    } else {
        std::printf("\n\nKnot points automatic: %d intervals\n", J);
        std::fprintf(out, "\nSpline_label = ' - splines: %d intervals, knot stages automatic'", J);
    }
    std::fprintf(out, "\nhmin = %.3g", h[1]);
    std::fprintf(out, "\nhmax = %.3g", h[N]);
    std::fprintf(out, "\nQmin = %.5g", Q[1]);
    std::fprintf(out, "\nQmax = %.5g", Q[N]);
    commit_pending(out, plt_path);
    out = nullptr;
}

void finish_run()
{
    Tend = static_cast<long>(std::clock());
    std::printf("\nCPU time %6.2f sec\n", static_cast<double>(Tend - Tstart) / CLOCKS_PER_SEC);
    std::printf("\nPaused: Hit enter");
    std::fflush(stdout);
    std::getchar();
}
