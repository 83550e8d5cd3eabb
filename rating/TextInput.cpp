#include "TextInput.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int load_text(const char *path, TextFile &tf)
{
    // Without O_NONBLOCK the opening of a pipe would wait for a writer.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        const int why = errno;
        close(fd);
        return why;
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        return S_ISDIR(st.st_mode) ? kIsFolder : kNotRegularFile;
    }
    tf.name = path;
    tf.text.clear();
    tf.pos = 0;
    tf.line = 1;
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got == 0)
            break;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            const int why = errno;
            close(fd);
            return why;
        }
        tf.text.append(buffer, static_cast<std::size_t>(got));
    }
    close(fd);
    // A byte order mark, as some editors write one, is not part of the text.
    if (tf.text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        tf.text.erase(0, 3);
    return 0;
}

std::string load_failure(int why)
{
    if (why == kIsFolder)
        return "it is a folder, not a file";
    if (why == kNotRegularFile)
        return "it is not a regular file (a device, pipe or socket)";
    return std::strerror(why);
}

bool at_end(const TextFile &tf)
{
    return tf.pos >= tf.text.size();
}

void skip_rest_of_line(TextFile &tf)
{
    while (tf.pos < tf.text.size()) {
        if (tf.text[tf.pos++] == '\n') {
            tf.line++;
            return;
        }
    }
}

std::string take_rest_of_line(TextFile &tf)
{
    const std::size_t start = tf.pos;
    std::size_t end = tf.text.find('\n', start);
    if (end == std::string::npos) {
        end = tf.text.size();
        tf.pos = end;
    } else {
        tf.pos = end + 1;
        tf.line++;
    }
    if (end > start && tf.text[end - 1] == '\r')
        end--;
    return tf.text.substr(start, end - start);
}

bool skip_space(TextFile &tf)
{
    while (tf.pos < tf.text.size()) {
        const unsigned char ch = static_cast<unsigned char>(tf.text[tf.pos]);
        if (!std::isspace(ch))
            return true;
        if (ch == '\n')
            tf.line++;
        tf.pos++;
    }
    return false;
}

std::string read_word(TextFile &tf)
{
    if (!skip_space(tf))
        return std::string();
    const std::size_t start = tf.pos;
    while (tf.pos < tf.text.size() && !std::isspace(static_cast<unsigned char>(tf.text[tf.pos])))
        tf.pos++;
    return tf.text.substr(start, tf.pos - start);
}

namespace {

// Skips to the next value; at the end of the file the position goes back to
// where the search began, so that a message names the line the value was
// expected on.
bool find_value(TextFile &tf)
{
    const std::size_t pos = tf.pos;
    const LineNumber line = tf.line;
    if (skip_space(tf))
        return true;
    tf.pos = pos;
    tf.line = line;
    return false;
}

// A value ends at white space or at the end of the text: "2,5" or "3.5"
// read as a whole number are not a value followed by a comment.
bool ends_value(const char *end)
{
    return *end == '\0' || std::isspace(static_cast<unsigned char>(*end));
}

} // namespace

bool scan_number(const char *s, double &v, const char **end)
{
    char *stop = nullptr;
    const double value = std::strtod(s, &stop);
    if (stop == s || !ends_value(stop))
        return false;
    v = value;
    *end = stop;
    return true;
}

bool read_double(TextFile &tf, double &v)
{
    if (!find_value(tf))
        return false;
    const char *start = tf.text.c_str() + tf.pos;
    const char *end = nullptr;
    if (!scan_number(start, v, &end))
        return false;
    tf.pos += static_cast<std::size_t>(end - start);
    return true;
}

bool read_int(TextFile &tf, int &v)
{
    if (!find_value(tf))
        return false;
    const char *start = tf.text.c_str() + tf.pos;
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(start, &end, 10);
    if (end == start || !ends_value(end) || errno == ERANGE || value < INT_MIN || value > INT_MAX)
        return false;
    tf.pos += static_cast<std::size_t>(end - start);
    v = static_cast<int>(value);
    return true;
}

void input_error(const std::string &name, LineNumber line, const std::string &what)
{
    std::printf("\nError in file %s, line %lld: %s\n", name.c_str(), line, what.c_str());
    std::exit(1);
}

void file_error(const std::string &name, const std::string &what)
{
    std::printf("\nError in file %s: %s\n", name.c_str(), what.c_str());
    std::exit(1);
}
