#include "support/scriptpeer.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bytes.h"
#include "client/session.h"
#include "core/event.h"
#include "client/hostroute.h"
#include "client/tunlife.h"
#include "net/tun.h"
#include "proto/packet.h"
#include "daemon/report.h"
#include "support/fakeclock.h"
#include "support/wire.h"

namespace {
constexpr int MAX_BATCH = 64;

bool wait_readable(int fd, int timeout_ms)
{
    if (fd < 0)
        return false;
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeout_ms) > 0 && (p.revents & POLLIN) != 0;
}

void close_client_socket(sdwan_t *clnt)
{
    if (clnt == nullptr || clnt->io.udpsock < 0)
        return;
    poll_del(clnt->io.udpsock);
    close(clnt->io.udpsock);
    clnt->io.udpsock = -1;
}
}  // namespace

ScriptPeer::ScriptPeer()
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t alen = sizeof a;
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &alen) != 0) {
        close(s);
        return;
    }
    fd_ = s;
    port_ = ntohs(a.sin_port);
}

ScriptPeer::~ScriptPeer()
{
    close_client_socket(clnt_);
    if (fd_ >= 0)
        close(fd_);
}

uint32_t ScriptPeer::ipbe() { return htonl(INADDR_LOOPBACK); }

void ScriptPeer::prepare(sdwan_t *clnt, const char *user, const char *pass, int tunfd, const char *tun_name)
{
    close_client_socket(clnt);
    sdwclnt_record_init(clnt);
    clnt->ops = netns_kernel_ops();  // the namespace's kernel
    clnt->conf.offload = 0;  // the plain paths, unless a test asks for the kernel's offloads
    clnt->io.tunfd = tunfd;
    snprintf(clnt->conf.tun_name, sizeof clnt->conf.tun_name, "%s", tun_name);
    snprintf(clnt->conf.user, sizeof clnt->conf.user, "%s", user);
    snprintf(clnt->conf.pass, sizeof clnt->conf.pass, "%s", pass);
    snprintf(clnt->conf.peer, sizeof clnt->conf.peer, "127.0.0.1");
    clnt->sess.peerip = ipbe();
    clnt->conf.peerport = port_;
    clnt->conf.mtu = 1400;
    clnt_ = clnt;
}

Bytes ScriptPeer::recv(int timeout_ms)
{
    if (!wait_readable(fd_, timeout_ms))
        return {};
    uint8_t buf[4096];
    sockaddr_in from{};
    socklen_t flen = sizeof from;
    ssize_t n = recvfrom(fd_, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from), &flen);
    if (n < 0)
        return {};
    last_from_port_ = ntohs(from.sin_port);
    return Bytes(buf, buf + n);
}

std::vector<Bytes> ScriptPeer::recv_all(int timeout_ms)
{
    std::vector<Bytes> out;
    for (int i = 0; i < MAX_BATCH; i++) {
        Bytes b = recv(i == 0 ? timeout_ms : 0);
        if (b.empty())
            break;
        out.push_back(std::move(b));
    }
    return out;
}

uint16_t ScriptPeer::client_port(const sdwan_t *clnt)
{
    if (clnt->io.udpsock < 0)
        return 0;
    sockaddr_in a{};
    socklen_t alen = sizeof a;
    if (getsockname(clnt->io.udpsock, reinterpret_cast<sockaddr *>(&a), &alen) != 0 || a.sin_family != AF_INET)
        return 0;
    return ntohs(a.sin_port);
}

bool ScriptPeer::send(const sdwan_t *clnt, const Bytes &pkt)
{
    uint16_t cport = client_port(clnt);
    if (cport == 0 || fd_ < 0)
        return false;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = ipbe();
    to.sin_port = htons(cport);
    ssize_t n = sendto(fd_, pkt.data(), pkt.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    return n == static_cast<ssize_t>(pkt.size());
}

bool ScriptPeer::send_and_deliver(sdwan_t *clnt, const Bytes &pkt, int timeout_ms)
{
    if (!send(clnt, pkt))
        return false;
    if (!wait_readable(clnt->io.udpsock, timeout_ms))
        return false;
    sdwan_sock_recv(clnt);
    return true;
}

int ScriptPeer::deliver(sdwan_t *clnt, int timeout_ms)
{
    int n = 0;
    for (int i = 0; i < MAX_BATCH; i++) {
        if (!wait_readable(clnt->io.udpsock, i == 0 ? timeout_ms : 0))
            break;
        sdwan_sock_recv(clnt);
        n++;
    }
    return n;
}

void ScriptPeer::inject(sdwan_t *clnt, const Bytes &pkt) const { inject_from(clnt, ipbe(), port_, pkt); }

void ScriptPeer::inject_from(sdwan_t *clnt, uint32_t ipbe, uint16_t port, const Bytes &pkt)
{
    // An exact-size heap copy: nothing after the datagram is addressable.
    std::unique_ptr<uint8_t[]> copy(new uint8_t[pkt.empty() ? 1 : pkt.size()]);
    if (!pkt.empty())
        memcpy(copy.get(), pkt.data(), pkt.size());
    sdwan_sock_recv_core(clnt, ipbe, port, copy.get(), static_cast<uint32_t>(pkt.size()));
}

// The builders are the tests' one wire builder's (support/wire.h), in this fixture's argument order.
Bytes ScriptPeer::control(uint8_t type, uint16_t sid, uint32_t token, const Bytes &body, uint8_t encrypt)
{
    return wire::control(type, encrypt, sid, token, body);
}

Bytes ScriptPeer::openack(uint16_t sid, uint32_t token, const Bytes &options)
{
    return control(SDWAN_OPENACK, sid, token, options);
}

Bytes ScriptPeer::openrej(uint16_t sid, uint32_t token) { return control(SDWAN_OPENREJ, sid, token); }

Bytes ScriptPeer::close_pkt(uint16_t sid, uint32_t token) { return control(SDWAN_CLOSE, sid, token); }

Bytes ScriptPeer::echoresp(uint64_t tick, uint16_t sid, uint32_t token)
{
    Bytes body(SDWAN_ECHOBODY_LEN, 0);
    for (int i = 0; i < 8; i++)
        body[static_cast<size_t>(i)] = static_cast<uint8_t>(tick >> (8 * i));  // little-endian
    return control(SDWAN_ECHORESP, sid, token, body);
}

Bytes ScriptPeer::data(uint8_t type, uint16_t sid, uint32_t token, const Bytes &payload, uint8_t encrypt)
{
    return cat({wire::header(type, encrypt, sid, token), payload});
}

Bytes ScriptPeer::opt(uint8_t type, const Bytes &value)
{
    Bytes o;
    wire::opt(o, type, value);
    return o;
}

Bytes ScriptPeer::opt_mtu(uint16_t mtu) { return opt(SDWAN_OPT_MTU, {static_cast<uint8_t>(mtu >> 8), static_cast<uint8_t>(mtu)}); }

namespace {
Bytes raw_ip(uint32_t ipbe)
{
    Bytes v(4);
    std::memcpy(v.data(), &ipbe, 4);
    return v;
}
}  // namespace

Bytes ScriptPeer::opt_ip(uint32_t ipbe) { return opt(SDWAN_OPT_IP, raw_ip(ipbe)); }

Bytes ScriptPeer::opt_gateway(uint32_t ipbe) { return opt(SDWAN_OPT_GATEWAY, raw_ip(ipbe)); }

Bytes ScriptPeer::opt_dns(uint32_t dns0be, uint32_t dns1be)
{
    return opt(SDWAN_OPT_DNS, cat({raw_ip(dns0be), raw_ip(dns1be)}));
}

Bytes ScriptPeer::opt_encrypt(uint8_t v) { return opt(SDWAN_OPT_ENCRYPT, {v}); }

Bytes ScriptPeer::opt_duppkt(uint8_t v) { return opt(SDWAN_OPT_DUPPKT, {v}); }

Bytes ScriptPeer::cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

void ClientDriver::start(uint64_t t0)
{
    poll_init();
    tm_init();
    FakeClock::install(t0);
    log = std::make_unique<LogCapture>();
    peer = std::make_unique<ScriptPeer>();
    owned_ = new_client();
    clnt = owned_.get();
    if (peer->ok())
        peer->prepare(clnt);
}

void ClientNetnsTest::SetUp()
{
    NetnsTest::SetUp();
    if (IsSkipped())
        return;
    std::string err;
    ASSERT_TRUE(netns_sh_ok("ip link add up0 type veth peer name up1 && ip addr add 10.99.0.1/24 dev up0 && "
                            "ip link set up0 up && ip link set up1 up && ip route add default via 10.99.0.2 dev up0",
                            &err))
        << err;
    start(CLIENT_T0);
    ASSERT_TRUE(peer->ok());
    ASSERT_EQ(sdwclnt_load_defroute(clnt), 0);
}

void ClientNetnsTest::TearDown()
{
    peer.reset();
    if (clnt != nullptr && clnt->io.tunfd >= 0)
        tun_deinit(&clnt->io.tunfd, clnt->conf.tun_name);
    if (clnt != nullptr) {
        clnt->io.tunfd = -1;
        clnt->sess.state = SDWANCLNT_NONE;
        clnt->host.own = 0;  // what it owned went with the namespace
    }
    log.reset();
    FakeClock::uninstall();
    NetnsTest::TearDown();
}

bool ClientNetnsTest::open_tun() { return sdwclnt_tun_open(clnt) == 0 && clnt->io.tunfd >= 0; }

void ClientFakeTest::SetUp()
{
    start(CLIENT_T0);
    ASSERT_TRUE(peer->ok());
    clnt->ops = host.ops();  // before anything asks the host
    host.table(FakeHost::rows({{"up0", "0.0.0.0", "10.99.0.2", "0.0.0.0", 0, 0}}));
    ASSERT_EQ(sdwclnt_load_defroute(clnt), 0);
}

void ClientFakeTest::TearDown()
{
    peer.reset();
    if (clnt != nullptr) {
        clnt->sess.state = SDWANCLNT_NONE;
        clnt->host.own = 0;
        clnt->ops = nullptr;
    }
    log.reset();
    FakeClock::uninstall();
}

std::vector<std::string> ClientFakeTest::host_calls()
{
    std::vector<std::string> out;
    for (std::string &c : host.take())
        if (c.rfind("host ", 0) != 0)
            out.push_back(std::move(c));
    return out;
}

void ClientDriver::set_peer_quiet()
{
    sdwclnt_set_peer(clnt);
    log->take();
}

void ClientDriver::tick()
{
    FakeClock::advance(1);
    // The daemon's two timers, in the order they are registered.
    sdwclnt_do_timer(clnt);
    status_tick(clnt);
}

bool ClientDriver::establish(uint16_t sid, uint32_t token, const Bytes &options)
{
    if (clnt->sess.state != SDWANCLNT_INIT)
        return false;
    tick();  // INIT -> AUTH
    tick();  // first OPEN
    if (peer->recv().empty())
        return false;
    if (!peer->send_and_deliver(clnt, ScriptPeer::openack(sid, token, options)))
        return false;
    log->take();
    return clnt->sess.state == SDWANCLNT_DATA;
}
