// Captures the daemon's log into a temporary file and hands back its lines without the time
// prefix, so tests compare exact messages.
#pragma once
#include <string>
#include <vector>

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    // Every line written since the capture began (or since the last take()), prefix removed.
    // A line whose prefix is malformed is returned as "<bad prefix>" followed by the raw line.
    std::vector<std::string> take();
    std::vector<std::string> all() const;
    bool contains(const std::string &line) const;  // exact message, trailing newline excluded
    const std::string &path() const { return path_; }

private:
    std::string path_;
    size_t taken_ = 0;
};

// Splits raw log text into messages, checking and removing the "%d/%d/%d %d:%02d:%02d " prefix.
std::vector<std::string> log_messages(const std::string &text);
