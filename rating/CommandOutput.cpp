#include "CommandOutput.h"

#include "ResultFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace {

constexpr double kLockPatience = 60.0;  // seconds

} // namespace

std::string prepare_output(const std::string &folder, const std::string &journal)
{
    // The lock is held to the end of the process.
    const ResultLock lock = lock_results(folder, kLockPatience, [&folder] {
        std::fprintf(stderr, "\nWaiting for another run writing into %s to end\n", folder.c_str());
    });
    if (lock.error == ETIMEDOUT)
        return "\nError: another run writing into " + folder +
               " has kept it locked for more than a minute; try again when that run has ended\n";
    // Any other reason not to lock the folder stops the run when a result is opened.
    return take_journal(journal);
}

std::string take_journal(const std::string &journal)
{
    const FileFailure failure = recover_commit(journal);
    if (failure.error != 0)
        return "\nUnable to complete the interrupted commit recorded in " + journal + ": " + failure.name + ": " +
               std::strerror(failure.error) + "\n";
    use_commit_journal(journal);
    return std::string();
}

std::string folder_of_path(const std::string &path)
{
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

int make_folders(const std::string &dir)
{
    for (std::size_t at = 1; at <= dir.size(); at++) {
        if (at < dir.size() && dir[at] != '/')
            continue;
        if (mkdir(dir.substr(0, at).c_str(), 0777) != 0 && errno != EEXIST)
            return errno;
    }
    struct stat st;
    if (stat(dir.c_str(), &st) != 0)
        return errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}
