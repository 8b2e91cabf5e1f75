// tolvactl genkey / pubkey: the peer's static key pair. The private key never leaves its file
// through this tool; only the public key is printed, for the clients' peerkey=.
#include <cerrno>
#include <cstring>

#include "ctl/ctl.h"
#include "seal/keyfile.h"
#include "seal/noise.h"

namespace {

int print_public(const uint8_t priv[KEY_BYTES], FILE *out)
{
    uint8_t pub[KEY_BYTES];
    key_public(priv, pub);
    char text[KEY_TEXT + 1];
    key_format(pub, text);
    fprintf(out, "%s\n", text);
    return 0;
}

}  // namespace

int ctl_genkey(const char *path, FILE *out, FILE *err)
{
    if (seal_init() != 0) {
        fputs("tolvactl: libsodium cannot start\n", err);
        return 1;
    }
    uint8_t priv[KEY_BYTES];
    const int rc = keyfile_create(path, priv);
    if (rc != 0) {
        fprintf(err, "tolvactl: cannot create key file %s: %s\n", path, strerror(-rc));
        return 1;
    }
    print_public(priv, out);
    seal_wipe(priv, sizeof priv);
    return 0;
}

int ctl_pubkey(const char *path, FILE *out, FILE *err)
{
    if (seal_init() != 0) {
        fputs("tolvactl: libsodium cannot start\n", err);
        return 1;
    }
    uint8_t priv[KEY_BYTES];
    char why[128];
    if (keyfile_load(path, priv, why, sizeof why) != 0) {
        fprintf(err, "tolvactl: key file %s %s\n", path, why);
        return 1;
    }
    print_public(priv, out);
    seal_wipe(priv, sizeof priv);
    return 0;
}
