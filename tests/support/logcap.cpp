#include "support/logcap.h"

#include <fstream>
#include <regex>
#include <sstream>
#include <unistd.h>

#include "shell/log.h"

namespace {
std::string read_file(const std::string &p)
{
    std::ifstream f(p);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}
}  // namespace

std::vector<std::string> log_messages(const std::string &text)
{
    static const std::regex prefix(R"(^[0-9]{4,}/([1-9]|1[0-2])/([1-9]|[12][0-9]|3[01]) ([0-9]|1[0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9] )");
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::smatch m;
        if (std::regex_search(line, m, prefix))
            out.push_back(line.substr(static_cast<size_t>(m.length(0))));
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
    _logfile = path_.c_str();
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
