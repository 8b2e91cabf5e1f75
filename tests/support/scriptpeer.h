// A scripted peer server on loopback for tunnel-client tests.
//
// The peer owns a UDP socket bound to 127.0.0.1:<ephemeral>. prepare() puts a client record in
// its process-start shape and points it at that socket, so everything the client sends with
// sdwan_sock_send lands here. The test reads what the client sent with recv(), answers with
// send()/send_and_deliver() to the client's real socket, or hands crafted bytes straight to the
// client's source filter with inject().
//
// The client's socket is unbound until its first send; before that it has no port and send()
// returns false. Use inject() for datagrams that must reach the client before it has sent
// anything.
//
// sid and token arguments of the builders are the header's raw field values in memory order,
// exactly as sdwan_pkthdr_t holds them (they are copied, never byte-swapped).
#pragma once
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "client/record.h"
#include "support/fakehost.h"
#include "support/client.h"
#include "support/logcap.h"
#include "support/netns.h"

#include <gtest/gtest.h>

using Bytes = std::vector<uint8_t>;

class ScriptPeer {
public:
    ScriptPeer();
    // Closes the peer socket, and the client socket of the prepared record if it is still open
    // (removing it from the poller).
    ~ScriptPeer();
    ScriptPeer(const ScriptPeer &) = delete;
    ScriptPeer &operator=(const ScriptPeer &) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    uint16_t port() const { return port_; }  // host order
    static uint32_t ipbe();                  // 127.0.0.1 in network order

    // Puts clnt in its process-start shape but for the offloads (off), closes a client socket
    // left open in it, and fills the configuration: tun_name, user, password, conf.peer,
    // sess.peerip = 127.0.0.1, conf.peerport = this peer's port, conf.mtu 1400, tunfd.
    void prepare(sdwan_t *clnt, const char *user = "alice", const char *pass = "secret", int tunfd = -1,
                 const char *tun_name = "tolva0");

    // Next datagram that reached the peer within timeout_ms; empty when none came. Remembers
    // the sender's port (last_from_port).
    Bytes recv(int timeout_ms = 200);
    // Every datagram that arrives within timeout_ms (at most 64).
    std::vector<Bytes> recv_all(int timeout_ms = 50);
    uint16_t last_from_port() const { return last_from_port_; }

    // The client's current local port (getsockname on io.udpsock); 0 when it has none yet.
    static uint16_t client_port(const sdwan_t *clnt);

    // Sends pkt from the peer's socket to 127.0.0.1:client_port(clnt). false when the client
    // has no port yet or the send failed.
    bool send(const sdwan_t *clnt, const Bytes &pkt);
    // send(), then lets the client read it through sdwan_sock_recv. true when the client's
    // socket had a datagram to read.
    bool send_and_deliver(sdwan_t *clnt, const Bytes &pkt, int timeout_ms = 200);
    // Calls sdwan_sock_recv once for each datagram waiting on the client's socket (the first
    // wait is at most timeout_ms, later ones 0; at most 64). Returns how many were read.
    static int deliver(sdwan_t *clnt, int timeout_ms = 200);

    // Hands pkt to sdwan_sock_recv_core as a datagram from this peer (or from ipbe:port). The
    // bytes are copied into a buffer of exactly their length, so a read past the datagram is an
    // out-of-bounds read under AddressSanitizer.
    void inject(sdwan_t *clnt, const Bytes &pkt) const;
    static void inject_from(sdwan_t *clnt, uint32_t ipbe, uint16_t port, const Bytes &pkt);

    // Packet builders: the tests' one wire builder (support/wire.h), independent of the library.
    static Bytes control(uint8_t type, uint16_t sid = 0, uint32_t token = 0, const Bytes &body = {},
                         uint8_t encrypt = 0);
    static Bytes openack(uint16_t sid, uint32_t token, const Bytes &options);
    static Bytes openrej(uint16_t sid = 0, uint32_t token = 0);
    static Bytes close_pkt(uint16_t sid = 0, uint32_t token = 0);
    // ECHORESP returning tick (little-endian at offset 24) and 12 bytes of delays.
    static Bytes echoresp(uint64_t tick, uint16_t sid = 0, uint32_t token = 0);
    // Unsigned data packet: header then payload as given.
    static Bytes data(uint8_t type, uint16_t sid, uint32_t token, const Bytes &payload, uint8_t encrypt = 0);

    // OPENACK options: type, whole length, value.
    static Bytes opt(uint8_t type, const Bytes &value);
    static Bytes opt_mtu(uint16_t mtu);
    static Bytes opt_ip(uint32_t ipbe);
    static Bytes opt_gateway(uint32_t ipbe);
    static Bytes opt_dns(uint32_t dns0be, uint32_t dns1be);
    static Bytes opt_encrypt(uint8_t v);
    static Bytes opt_duppkt(uint8_t v);
    static Bytes cat(std::initializer_list<Bytes> parts);

private:
    int fd_ = -1;
    uint16_t port_ = 0;
    uint16_t last_from_port_ = 0;
    sdwan_t *clnt_ = nullptr;
};

// Drives the prepared client as the daemon's timer and socket would: shared by the fixtures below.
struct ClientDriver {
    // sdwclnt_set_peer, then the log lines it wrote are discarded.
    void set_peer_quiet();
    // Drives the client from a reset to DATA: INIT tick, AUTH tick (OPEN read by the peer),
    // then the peer's OPENACK with the given header values and options, delivered over UDP.
    // true when the client reached SDWANCLNT_DATA. Log lines up to there are discarded.
    bool establish(uint16_t sid, uint32_t token, const Bytes &options);
    // One session tick one second after the last one.
    void tick();
    // The event core's tables, the fake clock at t0, the log captured, the peer and a client
    // object of its own prepared against it.
    void start(uint64_t t0);

    client_ptr owned_;  // the object clnt points to
    sdwan_t *clnt = nullptr;
    std::unique_ptr<LogCapture> log;
    std::unique_ptr<ScriptPeer> peer;
};

// A client test in a private network namespace of its own, with:
//   - an uplink: veth "up0" 10.99.0.1/24 (peer end "up1") and the namespace's default route via
//     10.99.0.2 on up0, recorded in the client record (sdwclnt_load_defroute), so that the
//     routes a session sets have a host default route to work from;
//   - the event core's tables initialised, the fake clock installed at CLIENT_T0, the log
//     captured (log);
//   - a ScriptPeer (peer) and a client object of its own prepared against it (clnt), acting on
//     the namespace's kernel (netns_kernel_ops), TUN name "tolva0", no TUN yet.
// open_tun() creates the TUN interface with sdwclnt_tun_open and puts its descriptor in the record.
// Skipped (with the reason) when a private namespace cannot be made.
class ClientNetnsTest : public NetnsTest, protected ClientDriver {
protected:
    static constexpr uint64_t CLIENT_T0 = 1700000000;
    void SetUp() override;
    void TearDown() override;
    bool open_tun();
};

// The same client without a namespace or root: the host is a FakeHost (host) whose route table
// holds the default route via 10.99.0.2 on up0 (loaded into the record), the peer a ScriptPeer
// on loopback, no TUN descriptor. The session's policy runs whole; the kernel is never asked.
class ClientFakeTest : public ::testing::Test, protected ClientDriver {
protected:
    static constexpr uint64_t CLIENT_T0 = 1700000000;
    void SetUp() override;
    void TearDown() override;
    // What the session asked of the interface and the routes since the last call; the host routes
    // that keep the peer and the resolver outside the tunnel are client/hostroute's and left out.
    std::vector<std::string> host_calls();

    FakeHost host;
};
