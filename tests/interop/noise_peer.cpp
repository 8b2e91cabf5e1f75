// One side of an NK session on hex lines, for the interoperability test:
//   noise_peer initiator <responder's public key> <ephemeral private key> [prologue]
//   noise_peer responder <static private key> <ephemeral private key> [prologue]
// (keys and prologue in hex). Reads commands, one a line, and answers each with one line:
//   w <payload>  the next message, handshake or transport, as hex
//   r <message>  the payload read from it, as hex, or "ERR <errno>"
//   k            rekeys both directions' ciphers, answers "ok"
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "seal/noise.h"

namespace {

std::vector<uint8_t> unhex(const std::string &s)
{
    std::vector<uint8_t> b;
    for (size_t i = 0; i + 1 < s.size(); i += 2)
        b.push_back(static_cast<uint8_t>(std::stoi(s.substr(i, 2), nullptr, 16)));
    return b;
}

void put_hex(const uint8_t *d, int n)
{
    for (int i = 0; i < n; i++)
        std::printf("%02x", d[i]);
    std::printf("\n");
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4 || (std::strcmp(argv[1], "initiator") != 0 && std::strcmp(argv[1], "responder") != 0)) {
        std::fprintf(stderr, "usage: noise_peer initiator|responder KEY EPHEMERAL [PROLOGUE]\n");
        return 2;
    }
    if (seal_init() != 0)
        return 1;
    bool initiator = std::strcmp(argv[1], "initiator") == 0;
    std::vector<uint8_t> key = unhex(argv[2]), e = unhex(argv[3]), prologue = unhex(argc > 4 ? argv[4] : "");
    if (key.size() != NOISE_KEY || e.size() != NOISE_KEY)
        return 2;
    aead_ctx_t ax{};
    (void)aead_open(&ax);  // as a daemon: libsodium where OpenSSL has no ChaCha20-Poly1305
    noise_handshake hs;
    if (noise_handshake_init(&hs, &ax, noise_pattern::NK, initiator, prologue, initiator ? nullptr : key.data(),
                             initiator ? key.data() : nullptr) != 0)
        return 1;
    noise_handshake_set_ephemeral(&hs, e.data());
    noise_cipher send{}, recv{};
    static uint8_t buf[NOISE_MSG];
    char line[2 * NOISE_MSG + 8];
    while (std::fgets(line, sizeof line, stdin)) {
        std::string cmd(line);
        while (!cmd.empty() && (cmd.back() == '\n' || cmd.back() == '\r'))
            cmd.pop_back();
        std::vector<uint8_t> arg = unhex(cmd.size() > 2 ? cmd.substr(2) : "");
        bool handshake = !noise_handshake_done(&hs);
        int r;
        if (cmd == "k") {
            noise_rekey(&send);
            noise_rekey(&recv);
            std::printf("ok\n");
            std::fflush(stdout);
            continue;
        } else if (cmd[0] == 'w') {
            r = handshake ? noise_handshake_write(&hs, arg, buf) : noise_encrypt(&send, {}, arg, buf);
        } else if (cmd[0] == 'r') {
            r = handshake ? noise_handshake_read(&hs, arg, buf) : noise_decrypt(&recv, {}, arg, buf);
        } else {
            r = -EINVAL;
        }
        if (handshake && r >= 0 && noise_handshake_done(&hs))
            noise_handshake_split(&hs, &send, &recv);
        if (r < 0)
            std::printf("ERR %d\n", -r);
        else
            put_hex(buf, r);
        std::fflush(stdout);
    }
    return 0;
}
