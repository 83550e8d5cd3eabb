#include "PlotScript.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

// The plot script: beside an installed program (bin/rating-plot), else in
// plot/ of the source tree the program was built under.
std::string plot_script()
{
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0)
        return std::string();
    std::string dir(exe, static_cast<std::size_t>(n));
    dir = dir.substr(0, dir.find_last_of('/'));
    struct stat st;
    if (stat((dir + "/rating-plot").c_str(), &st) == 0 && S_ISREG(st.st_mode))
        return dir + "/rating-plot";
    for (int up = 0; up < 4 && !dir.empty(); up++) {
        const std::string candidate = dir + "/plot/plot.sh";
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            return candidate;
        dir = dir.substr(0, dir.find_last_of('/'));
    }
    return std::string();
}

int run_plot_script(const std::vector<std::string> &arguments, std::string &why)
{
    const std::string script = plot_script();
    if (script.empty()) {
        why = "\nUnable to draw: no plot script beside the program (rating-plot) nor in a plot/ folder above it\n";
        return 1;
    }
    std::vector<std::string> args = {"/bin/sh", script};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = 0;
    const int err = posix_spawn(&pid, "/bin/sh", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0) {
        why = "\nUnable to run the plot script " + script + ": " + std::strerror(err) + "\n";
        return 1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        why = "\nNothing was drawn: the plot script " + script + " failed\n";
        return 1;
    }
    return 0;
}

bool split_units(const std::string &units, std::string &stage, std::string &discharge)
{
    const std::size_t comma = units.find(',');
    if (comma == std::string::npos || comma == 0 || comma + 1 == units.size() ||
        units.find(',', comma + 1) != std::string::npos)
        return false;
    stage = units.substr(0, comma);
    discharge = units.substr(comma + 1);
    return true;
}
