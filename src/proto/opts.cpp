#include "proto/opts.h"

int sdwan_opt_next(const uint8_t *buf, uint32_t len, uint32_t *pos, sdwan_opt_t *opt)
{
    if (*pos >= len)
        return 0;
    const uint32_t left = len - *pos;
    if (left < 2)
        return -1;
    const uint8_t *o = buf + *pos;
    if (o[1] < 2 || o[1] > left)
        return -1;
    *opt = {o[0], o[1], o};
    *pos += o[1];
    return 1;
}
