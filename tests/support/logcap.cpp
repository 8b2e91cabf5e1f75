#include "support/logcap.h"

#include <fstream>
#include <sstream>
#include <unistd.h>

#include "base/log.h"

namespace {
std::string read_file(const std::string &p)
{
    std::ifstream f(p);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}
}  // namespace

namespace {
// Length of a valid "%d/%d/%d %d:%02d:%02d " prefix at the start of line, or 0.
size_t prefix_len(const std::string &line)
{
    size_t i = 0;
    auto number = [&](int min_digits, int max_digits, int lo, int hi) {
        size_t start = i;
        int v = 0;
        while (i < line.size() && line[i] >= '0' && line[i] <= '9' && static_cast<int>(i - start) < max_digits)
            v = v * 10 + (line[i++] - '0');
        int n = static_cast<int>(i - start);
        return n >= min_digits && v >= lo && v <= hi && !(n > 1 && max_digits < 4 && min_digits == 1 && line[start] == '0');
    };
    auto sep = [&](char c) { return i < line.size() && line[i++] == c; };
    if (number(4, 6, 1970, 999999) && sep('/') && number(1, 2, 1, 12) && sep('/') && number(1, 2, 1, 31) && sep(' ') &&
        number(1, 2, 0, 23) && sep(':') && number(2, 2, 0, 59) && sep(':') && number(2, 2, 0, 59) && sep(' '))
        return i;
    return 0;
}
}  // namespace

std::vector<std::string> log_messages(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        size_t n = prefix_len(line);
        if (n > 0)
            out.push_back(line.substr(n));
        else
            out.push_back("<bad prefix>" + line);
    }
    return out;
}

LogCapture::LogCapture()
{
    char tmpl[] = "/tmp/tolvad-logcap-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd >= 0)
        close(fd);
    path_ = tmpl;
    logfile_path = path_.c_str();
    log_init();
}

LogCapture::~LogCapture()
{
    log_deinit();
    unlink(path_.c_str());
}

std::vector<std::string> LogCapture::all() const { return log_messages(read_file(path_)); }

std::vector<std::string> LogCapture::take()
{
    std::vector<std::string> lines = all();
    std::vector<std::string> fresh(lines.begin() + static_cast<long>(std::min(taken_, lines.size())), lines.end());
    taken_ = lines.size();
    return fresh;
}

bool LogCapture::contains(const std::string &line) const
{
    for (const std::string &l : all())
        if (l == line)
            return true;
    return false;
}
