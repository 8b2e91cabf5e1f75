#include "support/proc.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>

std::string slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void spit(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

void spit(const std::string &path, const std::string &text, mode_t mode)
{
    spit(path, text);
    chmod(path.c_str(), mode);
}

uint32_t ip(const char *text)
{
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

bool wait_exit(pid_t pid, int ms, int *status)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    do {
        const pid_t r = waitpid(pid, status, WNOHANG);
        if (r == pid)
            return true;
        if (r < 0)
            return false;
        usleep(5000);
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

void kill_and_reap(pid_t pid)
{
    int st;
    if (pid > 0 && waitpid(pid, &st, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &st, 0);
    }
}
