// Helpers for tests that run the built program in a scratch folder.
#ifndef RUNSUPPORT_H
#define RUNSUPPORT_H

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

struct RunResult {
    int status;       // exit status as the shell sees it (exit(-1) gives 255)
    std::string out;  // standard output
    std::string err;  // standard error
};

// A fresh empty folder under the system's temporary folder.
std::string make_temp_dir();

// Removes a folder made by make_temp_dir with everything in it.
void remove_temp_dir(const std::string &dir);

void write_file(const std::string &path, const std::string &content);
std::string read_file(const std::string &path);
bool file_exists(const std::string &path);

// Runs the built rating program in dir with standard input closed, with the
// given options (words separated by blanks, none quoted).
RunResult run_rating(const std::string &dir, const std::string &options = "");

// A scratch working folder for the program: Control.dat naming gauges/site1,
// Settings.dat and the data file gauges/site1.dat. Removed with the object.
struct Gauge {
    explicit Gauge(std::string folder) : dir(std::move(folder)) {}
    Gauge(Gauge &&other) noexcept : dir(std::move(other.dir)) { other.dir.clear(); }
    Gauge(const Gauge &) = delete;
    Gauge &operator=(const Gauge &) = delete;
    ~Gauge() { remove_temp_dir(dir); }

    std::string dir;
    std::string path(const std::string &name) const { return dir + "/" + name; }
    std::string res() const { return read_file(path("gauges/site1.res")); }
    std::string plt() const { return read_file(path("gauges/site1.plt")); }
};

Gauge make_gauge(const std::string &settings, const std::string &data);

// The names in a folder, "." and ".." left out.
std::vector<std::string> folder_entries(const std::string &dir);

// The table rows of a result file, after its four header lines.
std::vector<std::string> result_rows(const std::string &res);

// Settings.dat with a header line and the five values.
std::string settings_with(const char *nu, const char *jdefault, const char *m, const char *nout,
                          const char *spacing);

// A test that calls the program's steps in a scratch folder of its own, with
// a data folder g/ in it: the folder is the working folder during the test,
// and the model state is released and the folder removed after it.
class ScratchFolderTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string dir_;

private:
    std::string old_cwd_;
};

// Runs a shell command; returns its exit status.
int run_command(const std::string &command);

#endif
