// Private network namespaces for tests that need the kernel's interfaces, routes or sockets.
//
// A test moves its thread into a namespace made for it alone (unshare(CLONE_NEWNET)), with only
// a loopback interface, joined to nothing outside. Everything it creates there (TUN interfaces,
// veth pairs, addresses, routes) goes away with the namespace once the test has returned to the
// namespace it came from and closed what it opened there, so the machine's own interfaces and
// routes are never touched. Commands run with netns_sh() inherit the test's namespace.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "client/hostops.h"

// The host operations a client record uses in a test's namespace: the kernel's, without the
// resolver manager's ways, which belong to the machine, not to the namespace.
const hostops_t *netns_kernel_ops();

// Moves the calling thread into a new network namespace and brings its loopback up. false, with
// the reason in *why, when that is not possible (not root, namespaces not permitted).
bool netns_enter(std::string *why);
// Returns the thread to the namespace it was in before netns_enter. Nothing when not entered.
void netns_leave();

// Runs cmd with /bin/sh in the current namespace; returns its standard output and error.
// *status, when given, receives the exit status (-1 when the command could not be run).
std::string netns_sh(const std::string &cmd, int *status = nullptr);
// Runs cmd; true when it exits with 0. Otherwise its output is appended to *err, when given.
bool netns_sh_ok(const std::string &cmd, std::string *err = nullptr);

int if_flags(const char *name);  // IFF_* flags of the interface, -1 when there is none
int if_mtu(const char *name);    // -1 when there is no such interface
std::string if_inet(const char *name);  // its IPv4 addresses as "a.b.c.d/len", space separated

std::string ip_text(uint32_t ipbe);  // "a.b.c.d" of an address in network order
inline bool has(const std::string &hay, const std::string &needle) { return hay.find(needle) != std::string::npos; }

// A TCP socket listening on ipbe:port (network order address); -1 when it cannot be had.
int tcp_listen(uint32_t ipbe, uint16_t port);
// What a stream socket delivers until n bytes are in or a wait of timeout_ms finds nothing more;
// bytes beyond n that come in the same reads are kept, for the caller to see a surplus.
std::vector<uint8_t> recv_upto(int fd, size_t n, int timeout_ms);

// Waits at most timeout_ms for fd to become readable.
bool fd_wait_readable(int fd, int timeout_ms);

// Each test runs in a private namespace of its own; outside root it is skipped with the reason.
class NetnsTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

// A private namespace in which TUN interfaces can be created: skips when /dev/net/tun is missing.
class NetnsTunTest : public NetnsTest {
protected:
    void SetUp() override;
};
