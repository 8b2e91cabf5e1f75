#include "shell/resolvconf.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Searched in this order; the daemon takes no program path from its environment.
constexpr const char *PROGRAMS[] = {"/usr/sbin/resolvconf", "/sbin/resolvconf"};

const char *program()
{
    for (const char *p : PROGRAMS)
        if (access(p, X_OK) == 0)
            return p;
    return nullptr;
}

long long now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The first line the program wrote (to standard output or error), for the log.
void first_line(const char *out, size_t n, char *why, size_t len)
{
    size_t k = 0;
    while (k < n && out[k] != '\n' && out[k] != '\0')
        k++;
    snprintf(why, len, "%.*s", static_cast<int>(k), out);
}

int run(const char *option, const char *name, const char *input, bool exclusive, char *why, size_t len)
{
    const char *path = program();
    if (path == nullptr) {
        snprintf(why, len, "not installed");
        return HOSTDNS_ABSENT;
    }
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0) {
        snprintf(why, len, "pipe: %s", strerror(errno));
        return HOSTDNS_FAILED;
    }
    if (pipe2(out, O_CLOEXEC | O_NONBLOCK) != 0) {
        snprintf(why, len, "pipe: %s", strerror(errno));
        close(in[0]);
        close(in[1]);
        return HOSTDNS_FAILED;
    }
    // Built before fork: the child of a threaded process may only make async-signal-safe calls.
    char *const argv[] = {const_cast<char *>(path), const_cast<char *>(option), const_cast<char *>(name), nullptr};
    char *const envp[] = {const_cast<char *>("PATH=/usr/sbin:/usr/bin:/sbin:/bin"),
                          exclusive ? const_cast<char *>("IF_EXCLUSIVE=1") : nullptr, nullptr};
    sigset_t none;
    sigemptyset(&none);
    const pid_t pid = fork();
    if (pid == 0) {
        // dup2 clears close-on-exec on the copies; every other descriptor of the daemon has it.
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGPIPE, SIG_DFL);
        execve(path, argv, envp);
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    if (pid < 0) {
        snprintf(why, len, "fork: %s", strerror(errno));
        close(in[1]);
        close(out[0]);
        return HOSTDNS_FAILED;
    }
    // A few hundred bytes into an empty pipe: written whole at once, never waited on.
    const size_t n = input != nullptr ? strlen(input) : 0;
    if (n > 0 && write(in[1], input, n) != static_cast<ssize_t>(n))
        snprintf(why, len, "short write to resolvconf");
    close(in[1]);

    char text[256];
    size_t got = 0;
    int status = 0;
    bool done = false;
    const long long end = now_ms() + RESOLVCONF_WAIT_MS;
    for (;;) {
        ssize_t r;
        char sink[256];
        while ((r = read(out[0], got < sizeof text ? text + got : sink,
                         got < sizeof text ? sizeof text - got : sizeof sink)) > 0)
            got += got < sizeof text ? static_cast<size_t>(r) : 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            done = true;
            break;
        }
        const long long left = end - now_ms();
        if (left <= 0)
            break;
        pollfd p{out[0], POLLIN, 0};
        (void)poll(&p, 1, left < 10 ? static_cast<int>(left) : 10);
    }
    close(out[0]);
    if (!done) {
        kill(pid, SIGKILL);
        (void)waitpid(pid, &status, 0);
        snprintf(why, len, "resolvconf %s did not finish within %d ms", option, RESOLVCONF_WAIT_MS);
        return HOSTDNS_FAILED;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return HOSTDNS_OK;
    if (got > 0)
        first_line(text, got < sizeof text ? got : sizeof text - 1, why, len);
    else if (WIFEXITED(status))
        snprintf(why, len, "resolvconf %s exited with status %d", option, WEXITSTATUS(status));
    else
        snprintf(why, len, "resolvconf %s ended by signal %d", option, WTERMSIG(status));
    return HOSTDNS_FAILED;
}

}  // namespace

int resolvconf_add(const char *name, const char *conf, bool exclusive, char *why, size_t len)
{
    return run("-a", name, conf, exclusive, why, len);
}

int resolvconf_del(const char *name, char *why, size_t len) { return run("-d", name, nullptr, false, why, len); }
