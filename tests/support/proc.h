// Small helpers the tests share: whole files, IPv4 text, child processes, the root check.
#pragma once
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <unistd.h>

std::string slurp(const std::string &path);                             // "" when it cannot be read
void spit(const std::string &path, const std::string &text);             // created or emptied first
void spit(const std::string &path, const std::string &text, mode_t mode);  // and then given mode
uint32_t ip(const char *text);                                           // dotted IPv4, network order

// Waits at most ms for the child to end; its wait status in *status.
bool wait_exit(pid_t pid, int ms, int *status);
// SIGKILL and reap, unless the child has ended already (pid <= 0: nothing).
void kill_and_reap(pid_t pid);

// Tests that create network namespaces, or run a daemon in one, need root; they also carry the
// ctest label "root" rather than "unit" (tests/CMakeLists.txt).
#define REQUIRE_ROOT()                                                                                \
    do {                                                                                              \
        if (geteuid() != 0)                                                                           \
            GTEST_SKIP() << "the daemons run only inside a private network namespace, which needs root"; \
    } while (0)
