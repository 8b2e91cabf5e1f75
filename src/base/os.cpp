#include "base/os.h"

#include <unistd.h>

#include "base/log.h"

std::atomic<int> os_quit{0};

void signals_handle_exit(int signo)
{
    log_signal_exit(signo);
    os_quit.store(1);
}

void signal_handle_hup(int)
{
    // Only a flag: reopening takes the file system and stdio, which a handler may not enter.
    log_request_reopen();
}

void signal_handle_segfault(int signo, siginfo_t *, void *)
{
    signals_handle_exit(signo);
    // Returning into the faulting code would fault again forever. With the default action back
    // in place, the re-raised signal (held until this handler returns) ends the process, with a
    // core dump where the host keeps them.
    os_on_signal(SIGSEGV, SIG_DFL, 0);
    raise(SIGSEGV);
}

int os_on_signal(int signo, void (*handler)(int), int flags)
{
    struct sigaction sa = {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = flags;
    return sigaction(signo, &sa, nullptr);
}

int os_init()
{
    for (int signo : LOG_EXIT_SIGNALS)
        os_on_signal(signo, signals_handle_exit, 0);

    signal(SIGCHLD, SIG_DFL);

    // SIGHUP is the rotation tools' word for "reopen your log". SA_RESTART: a blocking call it
    // interrupts resumes instead of failing with EINTR.
    os_on_signal(SIGHUP, signal_handle_hup, SA_RESTART);
    // A write to a socket or pipe whose reader has gone must fail with EPIPE, not end the daemon.
    signal(SIGPIPE, SIG_IGN);

    struct sigaction segv = {};
    segv.sa_sigaction = signal_handle_segfault;
    sigemptyset(&segv.sa_mask);
    segv.sa_flags = SA_SIGINFO;
    sigaction(SIGSEGV, &segv, nullptr);
    return 0;
}

void os_deinit() {}

int os_args(int argc, char **argv, const char **cfgfile, const char **logfile)
{
    int opt;
    while ((opt = getopt(argc, argv, "f:l:hv")) != -1) {
        if (opt == 'f')
            *cfgfile = optarg;
        else if (opt == 'l')
            *logfile = optarg;
        else
            return opt;
    }
    return 0;
}
