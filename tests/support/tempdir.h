// A temporary directory for one test, removed with everything in it when the test ends.
#pragma once
#include <cstdlib>
#include <filesystem>
#include <string>

class TempDir {
public:
    // In /tmp, or under `parent` (/dev/shm for a test whose files must not wait for a disk).
    explicit TempDir(const std::string &parent = "/tmp")
    {
        std::string tmpl = parent + "/tolvad-test-XXXXXX";
        const char *p = mkdtemp(tmpl.data());
        path_ = p != nullptr ? p : "";
    }
    ~TempDir()
    {
        std::error_code ec;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};
