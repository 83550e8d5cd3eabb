#include "RunSupport.h"

#include "Model.h"

#include <cstdio>
#include <dirent.h>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

RunResult run_rating(const std::string &dir, const std::string &options)
{
    const std::string out = dir + "/.stdout";
    const std::string err = dir + "/.stderr";
    const std::string command =
        "cd '" + dir + "' && '" RATING_EXE "' " + options + " 0<&- >'" + out + "' 2>'" + err + "'";
    RunResult r;
    r.status = run_command(command);
    r.out = read_file(out);
    r.err = read_file(err);
    std::remove(out.c_str());
    std::remove(err.c_str());
    return r;
}

Gauge make_gauge(const std::string &settings, const std::string &data)
{
    Gauge g(make_temp_dir());
    mkdir(g.path("gauges").c_str(), 0755);
    write_file(g.path("Control.dat"), "gauges site1\n");
    write_file(g.path("Settings.dat"), settings);
    write_file(g.path("gauges/site1.dat"), data);
    return g;
}

std::vector<std::string> folder_entries(const std::string &dir)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (const dirent *e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        closedir(d);
    }
    return names;
}

std::vector<std::string> result_rows(const std::string &res)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = res.find('\n', start);
        lines.push_back(res.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    if (lines.size() < 4)
        return {};
    return std::vector<std::string>(lines.begin() + 4, lines.end());
}

std::string settings_with(const char *nu, const char *jdefault, const char *m, const char *nout,
                          const char *spacing)
{
    return std::string("Settings\n") + nu + "\n" + jdefault + "\n" + m + "\n" + nout + "\n" + spacing + "\n";
}

void ScratchFolderTest::SetUp()
{
    dir_ = make_temp_dir();
    mkdir((dir_ + "/g").c_str(), 0755);
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    old_cwd_ = cwd;
    ASSERT_EQ(chdir(dir_.c_str()), 0);
}

void ScratchFolderTest::TearDown()
{
    release_model();
    ASSERT_EQ(chdir(old_cwd_.c_str()), 0);
    remove_temp_dir(dir_);
}
