// Runs a command once and prints what it cost the system besides time: the
// page faults it took (first touches of memory) and its peak resident
// memory. Usage: run_usage COMMAND [ARGUMENT...]; the command's own output
// is discarded.
#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: run_usage COMMAND [ARGUMENT...]\n");
        return 2;
    }
    const pid_t child = fork();
    if (child < 0)
        return 1;
    if (child == 0) {
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
        }
        execvp(argv[1], argv + 1);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child)
        return 1;
    std::printf("  page faults %ld, peak memory %.1f MB, exit code %d\n", usage.ru_minflt + usage.ru_majflt,
                static_cast<double>(usage.ru_maxrss) / 1024.0, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return 0;
}
