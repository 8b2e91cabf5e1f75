#include "seal/keyfile.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "support/tempdir.h"

namespace {

// RFC 7748's Alice: her private key and its public key, in the text of a configuration line.
const char ALICE_PRIV[] = "dwdtCnMYpX08FsFyUbJmRd9ML4frwJkqsXf7pR25LCo=";
const char ALICE_PUB[] = "hSDwCYkwp1R0i33ctD73Wg2/Og0mOBr066SpjqqbTmo=";

TEST(KeyText, ParseFormatAndPublic)
{
    uint8_t priv[KEY_BYTES], pub[KEY_BYTES];
    char text[KEY_TEXT + 1];
    ASSERT_EQ(key_parse(ALICE_PRIV, priv), 0);
    EXPECT_EQ(priv[0], 0x77);
    key_public(priv, pub);
    key_format(pub, text);
    EXPECT_STREQ(text, ALICE_PUB);
    key_format(priv, text);
    EXPECT_STREQ(text, ALICE_PRIV);

    std::string good = ALICE_PUB;
    struct row {
        const char *what;
        std::string text;
    } bad[] = {
        {"empty", ""},
        {"without its padding", good.substr(0, 43)},
        {"with a newline", good + "\n"},
        {"with a space before", " " + good.substr(0, 43)},
        {"a URL-safe character", good.substr(0, 20) + "_" + good.substr(21)},
        // libsodium's decoder took this byte for a letter (found by fuzz_keytext).
        {"a byte outside ASCII", good.substr(0, 10) + "\xea" + good.substr(11)},
        {"stray bits in the last character", good.substr(0, 42) + "p="},
        {"33 bytes' worth", good.substr(0, 43) + "A"},
        {"hex instead", std::string(64, 'a')},
        {"a NUL inside", good.substr(0, 10) + std::string(1, '\0') + good.substr(11)},
    };
    for (const row &r : bad) {
        uint8_t k[KEY_BYTES] = {};
        EXPECT_EQ(key_parse(r.text, k), -EINVAL) << r.what;
    }
}

void write_file(const std::string &path, const std::string &text, mode_t mode)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

TEST(KeyFile, LoadsOnlyAPrivateRegularFileOfTheRunningUser)
{
    TempDir dir;
    std::string key = std::string(ALICE_PRIV) + "\n";
    struct row {
        const char *what;
        std::function<void(const std::string &)> make;
        int want;
        const char *why;
    } rows[] = {
        {"mode 0600", [&](auto &p) { write_file(p, key, 0600); }, 0, ""},
        {"mode 0400", [&](auto &p) { write_file(p, key, 0400); }, 0, ""},
        {"without the newline", [&](auto &p) { write_file(p, ALICE_PRIV, 0600); }, 0, ""},
        {"readable by the group", [&](auto &p) { write_file(p, key, 0640); }, -EPERM,
         "has mode 0640; it must be 0600 or 0400"},
        {"readable by all", [&](auto &p) { write_file(p, key, 0644); }, -EPERM, "has mode 0644"},
        {"set-uid", [&](auto &p) { write_file(p, key, 04600); }, -EPERM, "has mode 4600"},
        {"a symbolic link to a good file",
         [&](auto &p) {
             write_file(dir / "real", key, 0600);
             ASSERT_EQ(symlink((dir / "real").c_str(), p.c_str()), 0);
         },
         -ELOOP, "is a symbolic link"},
        {"a FIFO", [&](auto &p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }, -EINVAL, "is not a regular file"},
        {"a directory", [&](auto &p) { ASSERT_EQ(mkdir(p.c_str(), 0700), 0); }, -EINVAL,
         "is not a regular file"},
        {"missing", [](auto &) {}, -ENOENT, "cannot be opened: No such file or directory"},
        {"empty", [&](auto &p) { write_file(p, "", 0600); }, -EINVAL, "does not hold one private key"},
        {"two lines", [&](auto &p) { write_file(p, key + key, 0600); }, -EINVAL, "does not hold one"},
        {"CRLF", [&](auto &p) { write_file(p, std::string(ALICE_PRIV) + "\r\n", 0600); }, -EINVAL,
         "does not hold one"},
        {"a public key's text in hex", [&](auto &p) { write_file(p, std::string(64, 'a') + "\n", 0600); },
         -EINVAL, "does not hold one"},
    };
    int i = 0;
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        std::string path = dir / ("k" + std::to_string(i++));
        r.make(path);
        uint8_t priv[KEY_BYTES] = {};
        char why[128] = "";
        EXPECT_EQ(keyfile_load(path.c_str(), priv, why, sizeof why), r.want);
        EXPECT_NE(std::strstr(why, r.why), nullptr) << why;
        if (r.want == 0) {
            EXPECT_EQ(priv[0], 0x77);
        }
    }
}

TEST(KeyFile, OwnedBySomeoneElse)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give a file away";
    TempDir dir;
    std::string path = dir / "k";
    write_file(path, std::string(ALICE_PRIV) + "\n", 0600);
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    uint8_t priv[KEY_BYTES];
    char why[128] = "";
    EXPECT_EQ(keyfile_load(path.c_str(), priv, why, sizeof why), -EPERM);
    EXPECT_STREQ(why, "is owned by uid 65534, not by the running user (uid 0)");
}

TEST(KeyFile, CreateWritesANewFileOnly)
{
    TempDir dir;
    mode_t old = umask(0277); // a umask that would take the owner's write bit
    uint8_t made[KEY_BYTES], loaded[KEY_BYTES];
    std::string path = dir / "new.key";
    int r = keyfile_create(path.c_str(), made);
    umask(old);
    ASSERT_EQ(r, 0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_size, static_cast<off_t>(KEY_TEXT + 1));
    char why[128] = "";
    ASSERT_EQ(keyfile_load(path.c_str(), loaded, why, sizeof why), 0) << why;
    EXPECT_EQ(std::memcmp(made, loaded, KEY_BYTES), 0);

    // Never over an existing file, nor through a link to where one would be made.
    EXPECT_EQ(keyfile_create(path.c_str(), made), -EEXIST);
    ASSERT_EQ(symlink((dir / "elsewhere").c_str(), (dir / "link").c_str()), 0);
    EXPECT_EQ(keyfile_create((dir / "link").c_str(), made), -EEXIST);
    EXPECT_NE(access((dir / "elsewhere").c_str(), F_OK), 0);
    ASSERT_EQ(keyfile_load(path.c_str(), made, why, sizeof why), 0);
    EXPECT_EQ(std::memcmp(made, loaded, KEY_BYTES), 0) << "the existing key was overwritten";
}

} // namespace
