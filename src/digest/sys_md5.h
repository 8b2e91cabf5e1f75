// MD5 (RFC 1321), incremental.
#pragma once
#include <cstdint>

struct sys_md5ctx_t {
    uint32_t state[4];
    uint32_t count[2];
    uint8_t buffer[64];
};

void sys_md5init(sys_md5ctx_t *context);
void sys_md5update(sys_md5ctx_t *context, const void *in, unsigned int inputLen);
void sys_md5final(unsigned char *digest, sys_md5ctx_t *context);  // zeroes the context
