// tolvactl genkey and pubkey: the key pair an operator makes for the peer and its clients.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>

#include "ctl/ctl.h"
#include "seal/keyfile.h"
#include "support/tempdir.h"

namespace {

struct KeyRun {
    int rc;
    std::string out, err;
};

KeyRun run(int (*cmd)(const char *, FILE *, FILE *), const std::string &path)
{
    char *ob = nullptr, *eb = nullptr;
    size_t ol = 0, el = 0;
    FILE *out = open_memstream(&ob, &ol), *err = open_memstream(&eb, &el);
    KeyRun r{cmd(path.c_str(), out, err), "", ""};
    fclose(out);
    fclose(err);
    r.out.assign(ob, ol);
    r.err.assign(eb, el);
    free(ob);
    free(eb);
    return r;
}

TEST(CtlKey, GenkeyThenPubkey)
{
    TempDir dir;
    const std::string key = dir / "peer.key";
    const KeyRun g = run(ctl_genkey, key);
    ASSERT_EQ(g.rc, 0) << g.err;
    ASSERT_EQ(g.out.size(), KEY_TEXT + 1);
    uint8_t pub[KEY_BYTES];
    EXPECT_EQ(key_parse(g.out.substr(0, KEY_TEXT), pub), 0);
    struct stat st;
    ASSERT_EQ(stat(key.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    // The same public key from the file, and the file never written over.
    const KeyRun p = run(ctl_pubkey, key);
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.out, g.out);
    const KeyRun again = run(ctl_genkey, key);
    EXPECT_EQ(again.rc, 1);
    EXPECT_EQ(again.out, "");
    EXPECT_EQ(again.err, "tolvactl: cannot create key file " + key + ": File exists\n");
    EXPECT_EQ(run(ctl_pubkey, key).out, g.out);

    ASSERT_EQ(chmod(key.c_str(), 0644), 0);
    const KeyRun loose = run(ctl_pubkey, key);
    EXPECT_EQ(loose.rc, 1);
    EXPECT_EQ(loose.out, "");
    EXPECT_EQ(loose.err, "tolvactl: key file " + key + " has mode 0644; it must be 0600 or 0400\n");
}

}  // namespace
