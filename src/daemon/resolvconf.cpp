#include "daemon/resolvconf.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/event.h"
#include "base/log.h"

namespace {

// Searched in this order; the daemon takes no program path from its environment.
constexpr const char *PROGRAMS[] = {"/usr/sbin/resolvconf", "/sbin/resolvconf"};

// What the host should hold, what the last finished run left, and the run under way.
struct rc_t {
    bool want;  // the record present
    bool have;
    bool changed;  // want or its content changed since the run under way started
    char ifname[32];
    char conf[512];
    char servers[40];  // for the log line
    bool exclusive;
    bool force;  // the next deletion does not know whether a record is there
    pid_t pid;  // -1: none running
    bool adding;
    int out;  // the run's standard output and error
    char text[256];
    size_t got;
    long long started;
};
rc_t s_rc{false, false, false, "", "", "", false, false, -1, false, -1, "", 0, 0};

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

void finish(bool ok, const char *why)
{
    if (s_rc.adding) {
        if (ok)
            log_help("DNS servers %s set on %s through resolvconf\n", s_rc.servers, s_rc.ifname);
        else
            log_help("Failed to set DNS servers %s on %s through resolvconf: %s\n", s_rc.servers, s_rc.ifname, why);
        s_rc.have = true;  // a failed run may have written part: withdrawn at the end all the same
    } else {
        if (ok)
            log_help("DNS servers withdrawn from %s\n", s_rc.ifname);
        else
            log_help("Failed to withdraw DNS servers from %s through resolvconf: %s\n", s_rc.ifname, why);
        s_rc.have = false;
    }
}

// Starts the run that brings the host to what is wanted. False when it could not be started
// (logged as the run's outcome).
bool start()
{
    const char *path = program();
    s_rc.adding = s_rc.want;
    s_rc.changed = false;
    const bool force = s_rc.force && !s_rc.adding;
    s_rc.force = false;
    if (path == nullptr) {
        finish(false, "resolvconf is no longer installed");
        return false;
    }
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0) {
        finish(false, strerror(errno));
        return false;
    }
    if (pipe2(out, O_CLOEXEC | O_NONBLOCK) != 0) {
        const int err = errno;
        close(in[0]);
        close(in[1]);
        finish(false, strerror(err));
        return false;
    }
    char name[sizeof s_rc.ifname + sizeof ".tolvad"];
    snprintf(name, sizeof name, "%s.tolvad", s_rc.ifname);
    // Built before the child exists: the child of a threaded process may only make async-signal-safe calls.
    char *const argv[] = {const_cast<char *>(path), const_cast<char *>(s_rc.adding ? "-a" : "-d"), name,
                          force ? const_cast<char *>("-f") : nullptr, nullptr};
    char *const envp[] = {const_cast<char *>("PATH=/usr/sbin:/usr/bin:/sbin:/bin"),
                          s_rc.adding && s_rc.exclusive ? const_cast<char *>("IF_EXCLUSIVE=1") : nullptr, nullptr};
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
    const int err = errno;
    close(in[0]);
    close(out[1]);
    if (pid < 0) {
        close(in[1]);
        close(out[0]);
        finish(false, strerror(err));
        return false;
    }
    // A few hundred bytes into an empty pipe: written whole at once, never waited on.
    if (s_rc.adding)
        (void)!write(in[1], s_rc.conf, strlen(s_rc.conf));
    close(in[1]);
    s_rc.pid = pid;
    // The reactor's reaper (core/event) leaves it to resolvconf_poll.
    poll_keep_child(pid);
    s_rc.out = out[0];
    s_rc.got = 0;
    s_rc.started = now_ms();
    return true;
}

// Starts runs until one is under way or the host holds what is wanted.
void next()
{
    while (s_rc.pid < 0 && (s_rc.want != s_rc.have || (s_rc.want && s_rc.changed)))
        if (start())
            return;
}

// The run's output so far: the start kept in text (room for a terminator), the rest read away.
void drain()
{
    char sink[256];
    for (;;) {
        const size_t room = sizeof s_rc.text - 1 - s_rc.got;
        const ssize_t r = room != 0 ? read(s_rc.out, s_rc.text + s_rc.got, room) : read(s_rc.out, sink, sizeof sink);
        if (r <= 0)
            return;
        if (room != 0)
            s_rc.got += static_cast<size_t>(r);
    }
}

// The run is no longer ours to watch: ended, or left to finish on its own.
void forget()
{
    close(s_rc.out);
    s_rc.out = -1;
    s_rc.pid = -1;
    poll_keep_child(-1);
}

}  // namespace

int resolvconf_add(const char *ifname, const char *conf, bool exclusive, const char *servers, char *why, size_t len)
{
    if (program() == nullptr) {
        snprintf(why, len, "not installed");
        return HOSTDNS_ABSENT;
    }
    snprintf(s_rc.ifname, sizeof s_rc.ifname, "%s", ifname);
    snprintf(s_rc.conf, sizeof s_rc.conf, "%s", conf);
    snprintf(s_rc.servers, sizeof s_rc.servers, "%s", servers);
    s_rc.exclusive = exclusive;
    s_rc.want = true;
    s_rc.changed = true;
    next();
    return HOSTDNS_OK;
}

int resolvconf_del(const char *ifname, char *, size_t)
{
    snprintf(s_rc.ifname, sizeof s_rc.ifname, "%s", ifname);
    s_rc.want = false;
    s_rc.changed = false;
    next();
    return HOSTDNS_OK;
}

int resolvconf_del_left(const char *ifname, char *why, size_t len)
{
    if (program() == nullptr) {
        snprintf(why, len, "not installed");
        return HOSTDNS_ABSENT;
    }
    s_rc.have = true;
    s_rc.force = true;
    return resolvconf_del(ifname, why, len);
}

void resolvconf_poll()
{
    if (s_rc.pid < 0)
        return;
    drain();
    int status = 0;
    const pid_t r = waitpid(s_rc.pid, &status, WNOHANG);
    if (r == 0) {
        const long long ran = now_ms() - s_rc.started;
        if (ran >= (RESOLVCONF_RUN_SEC + 2) * 1000LL)
            kill(s_rc.pid, SIGKILL);
        else if (ran >= RESOLVCONF_RUN_SEC * 1000LL)
            kill(s_rc.pid, SIGTERM);
        return;
    }
    forget();
    char why[160];
    if (r < 0)
        snprintf(why, sizeof why, "waitpid: %s", strerror(errno));
    else if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        why[0] = '\0';
    else if (s_rc.got > 0) {
        // Its first line says why.
        s_rc.text[s_rc.got] = '\0';
        snprintf(why, sizeof why, "%.*s", static_cast<int>(strcspn(s_rc.text, "\n")), s_rc.text);
    } else if (WIFEXITED(status))
        snprintf(why, sizeof why, "exited with status %d", WEXITSTATUS(status));
    else
        snprintf(why, sizeof why, "ended by signal %d", WTERMSIG(status));
    finish(why[0] == '\0', why);
    next();
}

void resolvconf_flush(int ms)
{
    const long long end = now_ms() + ms;
    while (s_rc.pid >= 0 && now_ms() < end) {
        resolvconf_poll();
        if (s_rc.pid >= 0) {
            pollfd p{s_rc.out, POLLIN, 0};
            (void)poll(&p, 1, 10);
        }
    }
    if (s_rc.pid >= 0) {
        // Past the bound at exit: the run is left to finish on its own.
        forget();
    }
}
