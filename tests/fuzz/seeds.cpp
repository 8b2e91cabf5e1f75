// Writes the seed corpora of the fuzz harnesses: valid packets and files, built with the
// project's own builders wherever one exists, so the fuzzers start from what the client and
// the peer really exchange.
//
//   fuzz_seeds <corpus dir>            (the repository keeps its output in tests/fuzz/corpus)
//   fuzz_seeds --check <corpus dir>    exit 1 unless the directory holds exactly that output
//
// The clocks are fixed, so the output is the same on every run.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "bytes.h"
#include "client/auth.h"
#include "client/dns.h"
#include "client/echo.h"
#include "fuzz_client.h"
#include "fuzz_peerset.h"
#include "fuzz_seal.h"
#include "fuzz_sealkit.h"
#include "fuzz_support.h"
#include "net/ipaddr.h"
#include "net/vnet.h"
#include "proto/packet.h"
#include "proto/sealed.h"
#include "seal/keyfile.h"
#include "support/ippkt.h"

namespace {
using Bytes = std::vector<uint8_t>;

std::string s_dir;
int s_written = 0;
bool s_check = false;
int s_stale = 0;
std::map<std::string, int> s_per_target;

// In check mode: the file must exist with exactly these bytes.
void compare(const std::string &path, const Bytes &b)
{
    std::ifstream in(path, std::ios::binary);
    const Bytes have((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.is_open() || have != b) {
        std::fprintf(stderr, "seeds: %s is %s\n", path.c_str(),
                     in.is_open() ? "not what the builders make" : "missing");
        s_stale++;
    }
}

int files_in(const std::string &dir)
{
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return 0;
    int n = 0;
    while (dirent *e = readdir(d))
        n += e->d_name[0] != '.' ? 1 : 0;
    closedir(d);
    return n;
}

void put(const std::string &target, const std::string &name, const Bytes &b)
{
    const std::string d = s_dir + "/" + target;
    s_per_target[target]++;
    if (s_check) {
        compare(d + "/" + name, b);
        return;
    }
    mkdir(d.c_str(), 0755);
    const std::string path = d + "/" + name;
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr || (!b.empty() && fwrite(b.data(), 1, b.size(), f) != b.size())) {
        std::fprintf(stderr, "seeds: cannot write %s\n", path.c_str());
        std::exit(1);
    }
    fclose(f);
    s_written++;
}

void put_text(const std::string &target, const std::string &name, const std::string &text)
{
    put(target, name, Bytes(text.begin(), text.end()));
}

Bytes flagged(uint8_t flags, const Bytes &b)
{
    Bytes out{flags};
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

template <size_t N>
void set_field(char (&field)[N], const char *text)
{
    memset(field, 0, N);
    memcpy(field, text, strnlen(text, N - 1));
}

// The client as the harnesses hold it: alice, in session FUZZ_SID/FUZZ_TOKEN.
sdwan_t client_record()
{
    sdwan_t r;
    memset(&r, 0, sizeof r);
    set_field(r.conf.user, "alice");
    set_field(r.conf.pass, "secret");
    set_field(r.conf.peerdomain, FUZZ_DOMAIN);
    r.conf.mtu = 1400;
    r.conf.encrypt = 1;
    r.sess.sid = FUZZ_SID;
    r.sess.token = FUZZ_TOKEN;
    r.rtt.mindelay = SDWAN_MINDELAY_START;
    sdwan_set_key(&r);
    return r;
}

Bytes control(uint8_t type, uint16_t sid, uint32_t token)
{
    Bytes p(SDWAN_CTRL_LEN);
    const sdwan_pkthdr_t h{type, 0, sid, token};
    sdwan_hdr_store(p.data(), &h);
    sdwan_pktsign(p.data());
    return p;
}

uint16_t ip_csum(const uint8_t *p, size_t n)
{
    uint32_t s = 0;
    for (size_t i = 0; i + 1 < n; i += 2)
        s += ld_be16(p + i);
    while (s >> 16)
        s = (s & 0xffff) + (s >> 16);
    return static_cast<uint16_t>(~s);
}

// An ICMP echo request in an IPv4 packet with a correct header checksum.
Bytes ipv4_ping(const char *src, const char *dst, size_t payload)
{
    Bytes p(28 + payload);
    p[0] = 0x45;
    st_be16(&p[2], static_cast<uint16_t>(p.size()));
    p[8] = 64;
    p[9] = 1;
    st_raw32(&p[12], str2ip(src));
    st_raw32(&p[16], str2ip(dst));
    st_be16(&p[10], ip_csum(p.data(), 20));
    p[20] = 8;
    for (size_t i = 0; i < payload; i++)
        p[28 + i] = static_cast<uint8_t>(i);
    st_be16(&p[22], ip_csum(p.data() + 20, p.size() - 20));
    return p;
}

Bytes data_packet(bool enciphered, uint16_t sid, uint32_t token, const sdwan_key_t &key, Bytes ip)
{
    Bytes p(SDWAN_HDR_LEN);
    const sdwan_pkthdr_t h{enciphered ? SDWAN_EDATA : SDWAN_DATA, static_cast<uint8_t>(enciphered ? 1 : 0), sid,
                           token};
    sdwan_hdr_store(p.data(), &h);
    if (enciphered)
        sdwan_encrypt(&key, ip.data(), static_cast<int>(ip.size()));
    p.insert(p.end(), ip.begin(), ip.end());
    return p;
}

Bytes openack(const peer_t &peer, uint16_t sid, uint32_t token, const char *addr, uint8_t encrypt)
{
    peer_sess_t s;
    memset(&s, 0, sizeof s);
    s.live = 1;
    s.sid = sid;
    s.token = token;
    s.addr = str2ip(addr);
    s.encrypt = encrypt;
    Bytes b(SDWAN_PKTBUF);
    b.resize(peer_pktopenack(&peer, &s, b.data()));
    return b;
}

Bytes echoresp(const sdwan_t &c)
{
    // The peer sends the request's body back under a header of its own.
    Bytes b(64);
    sdwan_pktechoreq(&c, b.data());
    b.resize(SDWAN_ECHO_LEN);
    const sdwan_pkthdr_t h{SDWAN_ECHORESP, 0, c.sess.sid, c.sess.token};
    sdwan_hdr_store(b.data(), &h);
    sdwan_pktsign(b.data());
    return b;
}

Bytes dns_query(const char *name)
{
    sdwan_t r;
    memset(&r, 0, sizeof r);
    set_field(r.conf.peerdomain, name);
    Bytes q(96);
    q.resize(sdwan_pktDNS(&r, q.data()));
    return q;
}

// The resolver's answer to dns_query(name): a CNAME first when asked, then the A record.
Bytes dns_answer(const char *name, const char *addr, bool cname)
{
    Bytes a = dns_query(name);
    a[2] |= 0x80;
    a[3] |= 0x80;
    st_be16(&a[6], cname ? 2 : 1);
    auto rr = [&a](uint16_t type, const Bytes &rdata) {
        const uint8_t head[10] = {0xC0, 0x0C, static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type), 0, 1,
                                  0,    0,    0x0E, 0x10};
        a.insert(a.end(), head, head + sizeof head);
        a.push_back(0);
        a.push_back(static_cast<uint8_t>(rdata.size()));
        a.insert(a.end(), rdata.begin(), rdata.end());
    };
    if (cname)
        rr(5, {4, 'e', 'd', 'g', 'e', 0xC0, 0x0C});
    Bytes ip(4);
    st_raw32(ip.data(), str2ip(addr));
    rr(1, ip);
    return a;
}

void cfg_seeds()
{
    put_text("cfg", "valid", "# tunnel client settings\n[tolva0]\nserver=192.0.2.1\nusername=branch-17\n"
                             "password=s3cr#t=x\nport=4500\nmtu=1400\nencrypt=1\npipeid=7\npipeidx=2\n");
    put_text("cfg", "domain", "[tun0]\nserver=peer.example.net\nport=4500\nusername=alice\npassword=secret\n"
                              "mtu=1400\ndatalog=0\n");
    put_text("cfg", "crlf", "[tun0]\r\nserver=10.1\r\nport=65535\r\nusername=bob\r\npassword=pw\r\nmtu=46\r\n");
    put_text("cfg", "bad-mtu", "[tun0]\nserver=198.51.100.7\nport=4500\nusername=a\npassword=b\nmtu=1601\n");
    put_text("cfg", "no-section", "server=198.51.100.7\nport=4500\nusername=a\npassword=b\nmtu=1400\n");
    put_text("cfg", "long-line", "[tun0]\nserver=" + std::string(300, 'x') + "\nport=-4500\nusername=" +
                                     std::string(40, 'u') + "\npassword=" + std::string(40, 'p') +
                                     "\nmtu= +1400\n");
    put_text("cfg", "empty", "");
    put_text("cfg", "resolver", "[tun0]\nserver=vpn.example.net\nusername=a\npassword=b\nport=4500\nmtu=1400\n"
             "resolver=10.94.0.2\nwaitroute=0\nresolver=127.0.0.53\n");
    put_text("cfg", "split", "[tun0]\nserver=192.0.2.1\nusername=a\npassword=b\nport=1\nmtu=1400\n"
                             "routes=10.93.0.0/24, 172.16.0.0/12\nroutes=10.0.0.1/8\nsetdns=1\n"
                             "dnsdomains=corp.example,branch.corp.example\n");
    // What the reader reports: a blank in a key, a number that wraps, a server with a ':', an
    // indented key, a second section, a NUL.
    put_text("cfg", "mistakes", "[tun0]\nserver=2001:db8::1\nport =1\nport=70000\n\tmtu=1400\nmtu=1400x\n[tun1]\n"
                                "users=1\nrouts\npassword=a" + std::string(1, '\0') + "b\nusername=u \n");
    // Uplinks: a good list, then a bad one that refuses the file, and the path keys out of range.
    put_text("cfg", "uplinks", "[tun0]\nserver=192.0.2.1\nusername=a\npassword=b\nport=1\nmtu=1400\n"
                               "uplinks=eth0@192.0.2.10:20, wwan0:backup,lte0\npathpolicy=backup\n"
                               "probeinterval=49\npathloss=101\nuplinks=eth0,eth0:0,,x@1.2.3\n");
    // The peer's file, read by the same bytes through its strict rules.
    put_text("cfg", "peer", "[sdw0]\nport=4500\npool=10.8.0.0/20\nmtu=1380\nencrypt=1\ndns=9.9.9.9,1.1.1.1\n"
                            "log=/var/log/p.log\nlisten=192.0.2.10\nuser=alice:s3cret\nuser=bob:pw:10.8.0.50\n");
}

void str2ip_seeds()
{
    const char *texts[] = {"192.0.2.1", "10.1", "10.1.65535", "4294967295", "255.255.255.255", "0.0.0.0",
                           "1.2.3.4.5", "256.1.1.1", "4294967296", "1..2", "peer.example"};
    int i = 0;
    for (const char *t : texts)
        put_text("str2ip", "text-" + std::to_string(i++), t);
}

void route_seeds()
{
    const std::string head = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
    put_text("route", "gateway", head + "eth0\t0001A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n"
                                        "eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n");
    put_text("route", "tunnel-first", head + "sdwt0\t00000000\t0100080A\t0003\t0\t0\t0\t00000000\t0\t0\t0\n"
                                             "ens3\t00000000\t01020304\t0003\t0\t0\t100\t00000000\t0\t0\t0\n");
    put_text("route", "no-gateway", head + "ppp0\t00000000\t00000000\t0001\t0\t0\t0\t00000000\t0\t0\t0\n");
    put_text("route", "not-up", head + "eth0\t00000000\t0101A8C0\t0002\t0\t0\t100\t00000000\t0\t0\t0\n");
    put_text("route", "long-name", head + std::string(40, 'n') + "\t00000000\t0101A8C0\t0003\t0\t0\t0\t0\t0\t0\t0\n");
    put_text("route", "cut-short", head + "eth0\t00000000\t0101A8C0\t0003\t0\n");
    put_text("route", "header-only", head);
    put_text("route", "alias", "tolvad 198.51.100.7,192.0.2.1,eth0 8.8.8.8,0.0.0.0,ppp0");
    put_text("route", "alias-killswitch", "tolvad kept killswitch 198.51.100.7,192.0.2.1,up0 8.8.8.8,0.0.0.0,ppp0");
}

void recv_seeds(const peer_t &peer)
{
    sdwan_t c = client_record();
    const Bytes ack = openack(peer, FUZZ_SID, FUZZ_TOKEN, "10.8.0.2", 1);
    put("recv", "auth-openack", flagged(SDWANCLNT_AUTH, ack));
    put("recv", "data-openack", flagged(SDWANCLNT_DATA, ack));
    Bytes rej(SDWAN_CTRL_LEN);
    peer_pktopenrej(rej.data());
    put("recv", "auth-openrej", flagged(SDWANCLNT_AUTH, rej));
    put("recv", "data-close", flagged(SDWANCLNT_DATA | 0x40, control(SDWAN_CLOSE, FUZZ_SID, FUZZ_TOKEN)));
    put("recv", "closed-close", flagged(SDWANCLNT_CLOSED, control(SDWAN_CLOSE, FUZZ_SID, FUZZ_TOKEN)));
    put("recv", "data-echoresp", flagged(SDWANCLNT_DATA, echoresp(c)));
    const Bytes ping = ipv4_ping("10.8.0.1", "10.8.0.2", 32);
    put("recv", "data-data", flagged(SDWANCLNT_DATA, data_packet(false, FUZZ_SID, FUZZ_TOKEN, c.sess.key, ping)));
    put("recv", "data-edata",
        flagged(SDWANCLNT_DATA | 0x80, data_packet(true, FUZZ_SID, FUZZ_TOKEN, c.sess.key, ping)));
    put("recv", "init-data-short", flagged(SDWANCLNT_INIT, {SDWAN_DATA, 0, 0x12, 0x34}));
    put("recv", "data-unknown", flagged(SDWANCLNT_DATA, control(SDWAN_ECHOREQ, FUZZ_SID, FUZZ_TOKEN)));
    put("recv", "dns-answer", flagged(SDWANCLNT_DNS, dns_answer(FUZZ_DOMAIN, "127.0.0.1", false)));
    put("recv", "dns-cname", flagged(SDWANCLNT_DNS | 0x40, dns_answer(FUZZ_DOMAIN, "127.0.0.1", true)));
    put("recv", "dns-foreign", flagged(SDWANCLNT_DNS | 0x08, dns_answer(FUZZ_DOMAIN, "198.51.100.9", false)));
    // Unsigned headers for the harness to sign: the fuzzer changes them freely and still gets
    // past verification.
    Bytes open_hdr = control(SDWAN_OPENACK, FUZZ_SID, FUZZ_TOKEN);
    open_hdr.insert(open_hdr.end(), ack.begin() + SDWAN_CTRL_LEN, ack.end());
    memset(open_hdr.data() + SDWAN_HDR_LEN, 0, SDWAN_SIG_LEN);
    put("recv", "auth-openack-tosign", flagged(SDWANCLNT_AUTH | 0x10, open_hdr));
}

void openack_seeds(const peer_t &peer)
{
    put("openack", "plain", openack(peer, FUZZ_SID, FUZZ_TOKEN, "10.8.0.2", 0));
    put("openack", "encrypt", openack(peer, 0x0102, 0x03040506, "10.8.0.50", 1));
    // Options the peer does not send but the walker must step over or store.
    Bytes more = openack(peer, FUZZ_SID, FUZZ_TOKEN, "10.8.0.3", 1);
    const uint8_t extra[] = {SDWAN_OPT_DUPPKT, 3, 1, SDWAN_OPT_PIPE, 4, 0x80, 0x07, 0x63, 2};
    more.insert(more.end(), extra, extra + sizeof extra);
    put("openack", "dup-pipe-unknown", more);
    Bytes cut = openack(peer, FUZZ_SID, FUZZ_TOKEN, "10.8.0.4", 0);
    cut.resize(cut.size() - 1);
    put("openack", "cut", cut);
    put("openack", "bare", control(SDWAN_OPENACK, FUZZ_SID, FUZZ_TOKEN));
}

void dns_seeds()
{
    put("dns", "answer", dns_answer("peer.example.net", "198.51.100.7", false));
    put("dns", "cname", dns_answer("vpn.example.org", "203.0.113.10", true));
    put("dns", "query", dns_query("peer.example.net"));
    Bytes rt{198, 51, 100, 7, 0x09};
    const char name[] = "branch.example.com";
    rt.insert(rt.end(), name, name + sizeof name - 1);
    put("dns", "roundtrip", rt);
}

sdwan_t peer_client(int user)
{
    sdwan_t c;
    memset(&c, 0, sizeof c);
    set_field(c.conf.user, FUZZ_PEER_USERS[user][0]);
    set_field(c.conf.pass, FUZZ_PEER_USERS[user][1]);
    c.conf.mtu = 1400;
    c.sess.sid = user < 2 ? FUZZ_PEER_SID[user] : 0;
    c.sess.token = user < 2 ? FUZZ_PEER_TOKEN[user] : 0;
    c.rtt.mindelay = SDWAN_MINDELAY_START;
    sdwan_set_key(&c);
    return c;
}

void peer_seeds()
{
    for (int u = 0; u < FUZZ_PEER_NUSERS; u++) {
        sdwan_t c = peer_client(u);
        c.conf.encrypt = static_cast<uint8_t>(u == 0);
        c.conf.pipeid = static_cast<uint16_t>(u == 1 ? 7 : 0);
        Bytes open(SDWAN_CTRLBUF);
        open.resize(sdwan_pktopen(&c, open.data()));
        put("peer", std::string("open-") + c.conf.user, flagged(2, open));
        if (u < 2)
            put("peer", std::string("open-again-") + c.conf.user, flagged(static_cast<uint8_t>(u), open));
    }
    sdwan_t wrong = peer_client(0);
    set_field(wrong.conf.pass, "wrong");
    Bytes open(SDWAN_CTRLBUF);
    open.resize(sdwan_pktopen(&wrong, open.data()));
    put("peer", "open-wrong-password", flagged(2, open));

    for (int u = 0; u < 2; u++) {
        const sdwan_t c = peer_client(u);
        Bytes echo(64);
        sdwan_pktechoreq(&c, echo.data());
        echo.resize(SDWAN_ECHO_LEN);
        put("peer", std::string("echo-") + c.conf.user, flagged(static_cast<uint8_t>(u), echo));
        put("peer", std::string("echo-nosession-") + c.conf.user, flagged(2, echo));
        const Bytes ping = ipv4_ping(u == 0 ? "10.8.0.2" : "10.8.0.50", "10.8.0.1", 56);
        // alice's session is enciphered, bob's is not.
        put("peer", std::string("data-") + c.conf.user,
            flagged(static_cast<uint8_t>(u), data_packet(u == 0, c.sess.sid, c.sess.token, c.sess.key, ping)));
    }
    const sdwan_t alice = peer_client(0);
    const Bytes spoofed = ipv4_ping("10.8.0.50", "10.8.0.1", 8);
    put("peer", "data-spoofed-source",
        flagged(0, data_packet(true, alice.sess.sid, alice.sess.token, alice.sess.key, spoofed)));
    put("peer", "closed-type", flagged(4, control(SDWAN_CLOSE, 0, 0)));
}

void peer_open_seeds()
{
    auto pair = [](uint8_t flags, const std::string &user, const std::string &pass) {
        Bytes b{flags};
        b.insert(b.end(), user.begin(), user.end());
        b.push_back(0);
        b.insert(b.end(), pass.begin(), pass.end());
        return b;
    };
    put("peer_open", "alice", pair(2, "alice", "secret"));
    put("peer_open", "alice-again-encrypt", pair(4, "alice", "secret"));
    put("peer_open", "bob-from-alice", pair(8, "bob", "hunter2"));
    put("peer_open", "carol-from-bob", pair(1, "carol", "abcdefghijklmnopqrst"));
    put("peer_open", "carol-16", pair(2, "carol", "abcdefghijklmnop"));
    put("peer_open", "carol-full", pair(6, "carol", "abcdefghijklmnopqrst"));
    put("peer_open", "alice-wrong", pair(2, "alice", "secreT"));
    put("peer_open", "mallory", pair(2, "mallory", "secret"));
    put("peer_open", "no-name", pair(2, "", "secret"));
}
// Every message kind as a datagram (flags 0 to 3: OPENREJ/CLOSE, OPEN, OPENACK, echo), as the ends
// build it, and as raw record bytes for the encoders (flags 4 to 7).
void proto_seeds(const peer_t &peer)
{
    Bytes rej(SDWAN_CTRL_LEN);
    peer_pktopenrej(rej.data());
    put("proto", "openrej", flagged(0, rej));
    put("proto", "close", flagged(0, control(SDWAN_CLOSE, FUZZ_SID, FUZZ_TOKEN)));
    sdwan_t c = client_record();
    c.conf.pipeid = 7;
    Bytes open(SDWAN_CTRLBUF);
    open.resize(sdwan_pktopen(&c, open.data()));
    put("proto", "open", flagged(1, open));
    Bytes unknown = open;
    const uint8_t extra[] = {7, 2, 200, 5, 1, 2, 3};
    unknown.insert(unknown.end(), extra, extra + sizeof extra);
    put("proto", "open-unknown", flagged(1, unknown));
    put("proto", "openack", flagged(2, openack(peer, FUZZ_SID, FUZZ_TOKEN, "10.8.0.2", 1)));
    Bytes bad = openack(peer, FUZZ_SID, FUZZ_TOKEN, "10.8.0.3", 0);
    const uint8_t mtu5[] = {SDWAN_OPT_MTU, 5, 5, 0x78, 0};
    bad.insert(bad.end(), mtu5, mtu5 + sizeof mtu5);
    put("proto", "openack-mtu5", flagged(2, bad));
    Bytes echo(64);
    sdwan_pktechoreq(&c, echo.data());
    echo.resize(SDWAN_ECHO_LEN);
    put("proto", "echoreq", flagged(3, echo));
    echo.resize(SDWAN_ECHORESP_MIN);
    put("proto", "echo-tick-only", flagged(3, echo));
    for (uint8_t kind = 0; kind < 4; kind++) {
        Bytes raw(80);
        for (size_t i = 0; i < raw.size(); i++)
            raw[i] = static_cast<uint8_t>(i * 37 + kind);
        put("proto", "record-" + std::to_string(kind), flagged(static_cast<uint8_t>(4 | kind), raw));
    }
}

// Reads of a TUN device with the virtio-net header: a plain packet, partial checksums, TCP
// super-packets of several shapes, and one the kernel would never hand over.
void vnet_seeds()
{
    using namespace ippkt;
    ippkt::Tcp t;
    const Bytes none(VNET_HDR_LEN, 0);
    auto tso = [](const ippkt::Tcp &tcp, size_t payload, uint16_t mss) {
        Bytes ip = tcp4(tcp, pattern(payload, 2));
        const uint16_t hl = static_cast<uint16_t>(40 + tcp.options.size());
        put16(ip, 36, sum16(nullptr, 0, pseudo(ip.data(), 6, ip.size() - 20)));
        return cat(vhdr(VNET_F_NEEDS_CSUM, VNET_GSO_TCPV4, hl, mss, 20, 16), ip);
    };
    put("vnet", "plain-udp", cat(none, udp4(t.src, t.dst, 5000, 53, pattern(40, 1))));
    put("vnet", "plain-tcp", cat(none, tcp4(t, pattern(1000, 1))));
    Bytes udp = udp4(t.src, t.dst, 5000, 53, pattern(41, 3));
    put16(udp, 26, sum16(nullptr, 0, pseudo(udp.data(), 17, udp.size() - 20)));
    put("vnet", "csum-udp", cat(vhdr(VNET_F_NEEDS_CSUM, 0, 0, 0, 20, 6), udp));
    put("vnet", "tso-3", tso(t, 4000, 1448));
    ippkt::Tcp f = t;
    f.flags = ACK | PSH | FIN | CWR;
    f.options = {1, 1, 8, 10, 0, 0, 0, 1, 0, 0, 0, 2};
    put("vnet", "tso-flags-options", tso(f, 3000, 1000));
    put("vnet", "tso-64k", tso(t, 65535 - 40, 1448));
    put("vnet", "tso-headers-only", tso(t, 0, 1448));
    put("vnet", "tso-tiny-mss", tso(t, 2000, 7));
    Bytes u = tso(t, 3000, 1448);
    u[1] = VNET_GSO_UDP;
    put("vnet", "gso-udp", u);
}
}  // namespace

// Genuine messages of the harness's fixed NK session, one per reader, and near misses.
void seal_seeds()
{
    static uint8_t buf[NOISE_MSG];
    noise_handshake i, r;
    fuzz_nk_pair(&i, &r);
    const Bytes hello = {'h', 'e', 'l', 'l', 'o'};
    int n0 = noise_handshake_write(&i, hello, buf);
    const Bytes msg0(buf, buf + n0);
    put("seal", "msg0", flagged(FUZZ_SEAL_MSG0, msg0));
    put("seal", "msg0-short", flagged(FUZZ_SEAL_MSG0, Bytes(msg0.begin(), msg0.begin() + 40)));
    put("seal", "msg0-zero-e", flagged(FUZZ_SEAL_MSG0, Bytes(48, 0)));
    noise_handshake_read(&r, msg0, buf);
    int n1 = noise_handshake_write(&r, {}, buf);
    const Bytes msg1(buf, buf + n1);
    put("seal", "msg1", flagged(FUZZ_SEAL_MSG1, msg1));
    noise_handshake_read(&i, msg1, buf);
    noise_cipher send, recv;
    noise_handshake_split(&i, &send, &recv);
    const Bytes secret = {'a', 'l', 'i', 'c', 'e', 0, 's', 'e', 'c', 'r', 'e', 't'};
    for (uint64_t counter : {uint64_t{0}, uint64_t{7}}) {
        send.n = counter;
        int n = noise_encrypt(&send, {}, secret, buf);
        Bytes pkt(8);
        st_le64(pkt.data(), counter);
        pkt.insert(pkt.end(), buf, buf + n);
        put("seal", "transport-" + std::to_string(counter), flagged(FUZZ_SEAL_TRANSPORT, pkt));
    }
}

// The three sealed messages as a client and a peer frame them, a near miss of each, and raw
// record bytes for the encoders (flags 4 to 6).
void sealed_seeds()
{
    sinit_msg_t i{};
    i.sender = 0x01020304;
    for (size_t k = 0; k < SEALED_HS_LEN; k++)
        i.noise[k] = static_cast<uint8_t>(k * 5);
    Bytes b(SEALED_SINIT_LEN);
    sinit_encode(i, b);
    put("sealed", "sinit", flagged(0, b));
    b[1] = 2;
    put("sealed", "sinit-version2", flagged(0, b));
    sresp_msg_t r{};
    r.receiver = i.sender;
    r.sender = 0xA0B0C0D0;
    memcpy(r.noise, i.noise, SEALED_HS_LEN);
    b.assign(SEALED_SRESP_LEN, 0);
    sresp_encode(r, b);
    put("sealed", "sresp", flagged(1, b));
    put("sealed", "sresp-short", flagged(1, Bytes(b.begin(), b.end() - 1)));
    b.assign(SEALED_OVERHEAD + 20, 0x5A);
    sdata_encode(sdata_hdr_t{0, 0, 0, r.sender, 7}, b);
    put("sealed", "sdata", flagged(2, b));
    b.resize(SEALED_OVERHEAD - 1);
    put("sealed", "sdata-short", flagged(2, b));
    auth_msg_t a{};
    a.have = 7;
    a.userlen = 5;
    memcpy(a.user, "alice", 5);
    a.passlen = 6;
    memcpy(a.pass, "secret", 6);
    b.assign(SEALED_AUTH_MAX, 0);
    b.resize(auth_encode(a, b));
    put("sealed", "auth", flagged(3, b));
    for (uint8_t kind = 0; kind < 3; kind++) {
        Bytes raw(64);
        for (size_t k = 0; k < raw.size(); k++)
            raw[k] = static_cast<uint8_t>(k * 29 + kind);
        put("sealed", "record-" + std::to_string(kind), flagged(static_cast<uint8_t>(4 | kind), raw));
    }
}

// The sealed-session harnesses of both daemons: a handshake message each way and one SDATA of
// every kind, sealed under the keys each harness sets up (counter, kind, body for it to seal).
Bytes sealed_input(uint64_t counter, uint8_t kind, const Bytes &body)
{
    Bytes b{1, 0, 0, 0, 0, 0, 0, 0, 0, kind};
    st_le64(&b[1], counter);
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

void sealed_daemon_seeds()
{
    uint8_t pub[KEY_BYTES];
    key_public(FUZZ_PEER_PRIV, pub);
    noise_handshake i, r;
    noise_handshake_init(&i, noise_pattern::NK, true, SEALED_PROLOGUE, nullptr, pub);
    noise_handshake_set_ephemeral(&i, FUZZ_CS_EI);
    sinit_msg_t m{};
    m.sender = FUZZ_CS_REKEY;
    noise_handshake_write(&i, {}, m.noise);
    Bytes b(SEALED_SINIT_LEN);
    sinit_encode(m, b);
    put("peer_sealed", "sinit", flagged(0, b));
    put("client_sealed", "sinit", flagged(0, b));
    // The peer's answer to the client harness's rekey in flight.
    uint8_t none[1];
    noise_handshake_init(&r, noise_pattern::NK, false, SEALED_PROLOGUE, FUZZ_PEER_PRIV, nullptr);
    noise_handshake_set_ephemeral(&r, FUZZ_CS_ER);
    noise_handshake_read(&r, m.noise, {none, 0});
    sresp_msg_t a{};
    a.receiver = FUZZ_CS_REKEY;
    a.sender = FUZZ_CS_THEIRS + 1;
    noise_handshake_write(&r, {}, a.noise);
    b.assign(SEALED_SRESP_LEN, 0);
    sresp_encode(a, b);
    put("client_sealed", "sresp-rekey", flagged(0, b));
    put("peer_sealed", "sresp", flagged(0, b));

    auth_msg_t cred{};
    cred.userlen = 5;
    memcpy(cred.user, "carol", 5);
    cred.passlen = 20;
    memcpy(cred.pass, FUZZ_PEER_USERS[2][1], 20);
    Bytes auth(SEALED_AUTH_MAX);
    auth.resize(auth_encode(cred, auth));
    openack_msg_t ack{};
    ack.have = OPENACK_HAVE_IP | OPENACK_HAVE_GATEWAY | OPENACK_HAVE_MTU;
    ack.ip = str2ip("10.8.0.5");
    ack.gateway = str2ip("10.8.0.1");
    ack.mtu = 1375;
    Bytes authack(SEALED_AUTHACK_MAX);
    authack.resize(authack_encode(ack, authack));
    Bytes echo(SDWAN_ECHOBODY_LEN);
    for (size_t k = 0; k < echo.size(); k++)
        echo[k] = static_cast<uint8_t>(k + 1);
    Bytes probe(SEALED_PROBE_LEN);
    probe.resize(probe_encode({1, {0, 0, 0}, 7, 123456}, probe));
    // The peer gives carol the first free pool address after alice's, the client holds .5.
    const Bytes bodies[2][SEALED_KIND_MAX] = {
        {ipv4_ping("10.8.0.3", "10.8.0.1", 24), auth, authack, {1}, echo, echo, {}, probe, probe},
        {ipv4_ping("10.8.0.1", "10.8.0.5", 24), auth, authack, {1}, echo, echo, {}, probe, probe}};
    const char *names[SEALED_KIND_MAX] = {"ip",       "auth",  "authack", "authrej", "echoreq",
                                          "echoresp", "close", "probe",   "probeack"};
    for (uint8_t kind = 1; kind <= SEALED_KIND_MAX; kind++) {
        put("peer_sealed", std::string("sdata-") + names[kind - 1], sealed_input(1, kind, bodies[0][kind - 1]));
        put("client_sealed", std::string("sdata-") + names[kind - 1], sealed_input(1, kind, bodies[1][kind - 1]));
    }
    // The client in AUTH takes the AUTHACK under the handshake's keys; carol's AUTH took counter 0.
    Bytes in_auth = sealed_input(0, static_cast<uint8_t>(sealed_kind::authack), authack);
    in_auth[0] = 3;
    put("client_sealed", "auth-authack", in_auth);
    put("peer_sealed", "sdata-replayed", sealed_input(0, 1, bodies[0][0]));
}

void keytext_seeds()
{
    uint8_t key[KEY_BYTES];
    for (size_t i = 0; i < KEY_BYTES; i++)
        key[i] = static_cast<uint8_t>(i * 7);
    char text[KEY_TEXT + 1];
    key_format(key, text);
    put_text("keytext", "key", text);
    put_text("keytext", "key-newline", std::string(text) + "\n");
    put_text("keytext", "stray-bits", std::string(text, 42) + "B=");
    put_text("keytext", "hex", std::string(64, 'f'));
}

int main(int argc, char **argv)
{
    s_check = argc == 3 && strcmp(argv[1], "--check") == 0;
    if (argc != (s_check ? 3 : 2)) {
        std::fprintf(stderr, "usage: %s [--check] <corpus dir>\n", argv[0]);
        return 2;
    }
    s_dir = argv[argc - 1];
    if (!s_check)
        mkdir(s_dir.c_str(), 0755);
    fuzz_fixed_clock();
    static peer_t peer;
    fuzz_peer_config(&peer.cfg);

    cfg_seeds();
    str2ip_seeds();
    route_seeds();
    recv_seeds(peer);
    openack_seeds(peer);
    dns_seeds();
    peer_seeds();
    peer_open_seeds();
    vnet_seeds();
    proto_seeds(peer);
    seal_seeds();
    keytext_seeds();
    sealed_seeds();
    sealed_daemon_seeds();
    if (!s_check) {
        std::printf("wrote %d seed files under %s\n", s_written, s_dir.c_str());
        return 0;
    }
    for (const auto &[target, n] : s_per_target) {
        if (files_in(s_dir + "/" + target) != n) {
            std::fprintf(stderr, "seeds: %s/%s holds files the builders do not make\n", s_dir.c_str(),
                         target.c_str());
            s_stale++;
        }
    }
    if (s_stale != 0) {
        std::fprintf(stderr, "seeds are stale: write them again with fuzz_seeds %s\n", s_dir.c_str());
        return 1;
    }
    std::printf("%s holds the current seeds\n", s_dir.c_str());
    return 0;
}
