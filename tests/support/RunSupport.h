// Helpers for tests that run the built program in a scratch folder.
#ifndef RUNSUPPORT_H
#define RUNSUPPORT_H

#include <string>

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

// Runs the built rating program in dir with standard input closed.
RunResult run_rating(const std::string &dir);

// Runs a shell command; returns its exit status.
int run_command(const std::string &command);

#endif
