#include "seal/keyfile.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Room for a key, its newline and enough more to tell a longer file from a key.
constexpr size_t FILE_MAX = KEY_TEXT + 8;

int refuse(int err, char *why, size_t whylen, const char *fmt, ...) __attribute__((format(printf, 4, 5)));
int refuse(int err, char *why, size_t whylen, const char *fmt, ...)
{
    if (why && whylen) {
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(why, whylen, fmt, ap);
        va_end(ap);
    }
    return -err;
}

// libsodium's decoder maps some bytes outside the alphabet to letters; the text is checked
// first, so that one key has one text.
bool base64_text(std::string_view text)
{
    for (size_t i = 0; i + 1 < text.size(); i++) {
        char c = text[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/'))
            return false;
    }
    return text.back() == '=';
}

} // namespace

int key_parse(std::string_view text, uint8_t key[KEY_BYTES])
{
    if (text.size() != KEY_TEXT || !base64_text(text))
        return -EINVAL;
    uint8_t out[KEY_BYTES];
    size_t len = 0;
    const char *end = nullptr;
    if (sodium_base642bin(out, sizeof out, text.data(), text.size(), nullptr, &len, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        len != KEY_BYTES || end != text.data() + text.size()) {
        sodium_memzero(out, sizeof out);
        return -EINVAL;
    }
    std::memcpy(key, out, KEY_BYTES);
    sodium_memzero(out, sizeof out);
    return 0;
}

void key_format(const uint8_t key[KEY_BYTES], char out[KEY_TEXT + 1])
{
    sodium_bin2base64(out, KEY_TEXT + 1, key, KEY_BYTES, sodium_base64_VARIANT_ORIGINAL);
}

void key_public(const uint8_t priv[KEY_BYTES], uint8_t pub[KEY_BYTES]) { crypto_scalarmult_base(pub, priv); }

int keyfile_load(const char *path, uint8_t priv[KEY_BYTES], char *why, size_t whylen)
{
    // O_NONBLOCK: a FIFO planted at the path must not hang the daemon before fstat refuses it.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        int e = errno;
        if (e == ELOOP)
            return refuse(ELOOP, why, whylen, "is a symbolic link");
        return refuse(e, why, whylen, "cannot be opened: %s", strerror(e));
    }
    struct stat st;
    int r = 0;
    char text[FILE_MAX];
    ssize_t n = 0;
    if (fstat(fd, &st) != 0) {
        r = refuse(errno, why, whylen, "cannot be examined: %s", strerror(errno));
    } else if (!S_ISREG(st.st_mode)) {
        r = refuse(EINVAL, why, whylen, "is not a regular file");
    } else if (st.st_uid != geteuid()) {
        r = refuse(EPERM, why, whylen, "is owned by uid %u, not by the running user (uid %u)",
                   static_cast<unsigned>(st.st_uid), static_cast<unsigned>(geteuid()));
    } else if ((st.st_mode & 07777) != 0600 && (st.st_mode & 07777) != 0400) {
        r = refuse(EPERM, why, whylen, "has mode %04o; it must be 0600 or 0400",
                   static_cast<unsigned>(st.st_mode & 07777));
    } else {
        size_t got = 0;
        while (got < sizeof text && (n = read(fd, text + got, sizeof text - got)) > 0)
            got += static_cast<size_t>(n);
        if (n < 0) {
            r = refuse(errno, why, whylen, "cannot be read: %s", strerror(errno));
        } else {
            std::string_view line(text, got);
            if (!line.empty() && line.back() == '\n')
                line.remove_suffix(1);
            if (key_parse(line, priv) != 0)
                r = refuse(EINVAL, why, whylen, "does not hold one private key (44 base64 characters on one line)");
        }
    }
    sodium_memzero(text, sizeof text);
    close(fd);
    return r;
}

int keyfile_create(const char *path, uint8_t priv[KEY_BYTES])
{
    if (sodium_init() < 0) // the random source, before the file exists
        return -EIO;
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return -errno;
    uint8_t key[KEY_BYTES];
    randombytes_buf(key, sizeof key);
    char text[KEY_TEXT + 2];
    key_format(key, text);
    text[KEY_TEXT] = '\n';
    int r = 0;
    errno = 0; // a short write sets none
    // The umask may have taken the owner's write bit; the mode is the file's whatever it is.
    if (fchmod(fd, 0600) != 0 || write(fd, text, KEY_TEXT + 1) != static_cast<ssize_t>(KEY_TEXT + 1) ||
        fsync(fd) != 0)
        r = errno ? -errno : -EIO;
    close(fd);
    if (r < 0)
        unlink(path);
    else
        std::memcpy(priv, key, KEY_BYTES);
    sodium_memzero(key, sizeof key);
    sodium_memzero(text, sizeof text);
    return r;
}
