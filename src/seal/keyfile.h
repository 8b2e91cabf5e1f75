// The sealed session's static keys on disk and in configuration lines. A key, private or
// public, is its 32 bytes in standard base64 with padding: 44 characters on one line.
//
// A private key file is read only when it is a regular file (not through a symbolic link, not a
// FIFO or a device) owned by the running user and readable by nobody else (mode 0600 or 0400).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

constexpr size_t KEY_BYTES = 32;
constexpr size_t KEY_TEXT = 44; // base64 of 32 bytes, without the terminating NUL

// Parses one key's text; -EINVAL unless it is exactly 44 base64 characters (with the one '='
// of padding and no stray bits) giving 32 bytes.
int key_parse(std::string_view text, uint8_t key[KEY_BYTES]);
// Writes the key's 44 characters and a NUL.
void key_format(const uint8_t key[KEY_BYTES], char out[KEY_TEXT + 1]);
// The X25519 public key of a private one.
void key_public(const uint8_t priv[KEY_BYTES], uint8_t pub[KEY_BYTES]);

// Reads a private key file: 0, or a negative errno and, in why, the reason in words ("has mode
// 0644; it must be 0600 or 0400"), for the caller's line after the path.
//   -ELOOP a symbolic link, -EINVAL not a regular file or not one key, -EPERM mode or owner,
//   anything else from open(2) or read(2).
int keyfile_load(const char *path, uint8_t priv[KEY_BYTES], char *why, size_t whylen);
// Creates a new private key file of mode 0600 with a fresh key, never over an existing file or
// through a link; on a failed write the file it created is removed. 0 or a negative errno.
int keyfile_create(const char *path, uint8_t priv[KEY_BYTES]);
