#include "TextInput.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

bool load_text(const char *path, TextFile &tf)
{
    std::FILE *f = std::fopen(path, "rb");
    if (f == nullptr)
        return false;
    tf.name = path;
    tf.text.clear();
    tf.pos = 0;
    tf.line = 1;
    char buffer[65536];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        tf.text.append(buffer, got);
    const bool ok = !std::ferror(f);
    std::fclose(f);
    // A byte order mark, as some editors write one, is not part of the text.
    if (tf.text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        tf.text.erase(0, 3);
    return ok;
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
    const int line = tf.line;
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

void input_error(const std::string &name, int line, const std::string &what)
{
    std::printf("\nError in file %s, line %d: %s\n", name.c_str(), line, what.c_str());
    std::exit(1);
}

void file_error(const std::string &name, const std::string &what)
{
    std::printf("\nError in file %s: %s\n", name.c_str(), what.c_str());
    std::exit(1);
}
