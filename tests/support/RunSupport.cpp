#include "RunSupport.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>

std::string make_temp_dir()
{
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/rating-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot make a temporary folder");
    return pattern;
}

void remove_temp_dir(const std::string &dir)
{
    if (dir.find("/rating-test-") != std::string::npos)
        run_command("rm -rf '" + dir + "'");
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream f(path, std::ios::binary);
    if (!f)
        throw std::runtime_error("cannot write " + path);
    f << content;
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    if (!f)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool file_exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

int run_command(const std::string &command)
{
    const int raw = std::system(command.c_str());
    if (raw == -1 || !WIFEXITED(raw))
        return -1000;
    return WEXITSTATUS(raw);
}

RunResult run_rating(const std::string &dir)
{
    const std::string out = dir + "/.stdout";
    const std::string err = dir + "/.stderr";
    const std::string command =
        "cd '" + dir + "' && '" RATING_EXE "' 0<&- >'" + out + "' 2>'" + err + "'";
    RunResult r;
    r.status = run_command(command);
    r.out = read_file(out);
    r.err = read_file(err);
    std::remove(out.c_str());
    std::remove(err.c_str());
    return r;
}
