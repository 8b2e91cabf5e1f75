// The configuration file: one section line naming the TUN interface and key=value lines, read
// once at start-up into the client record.
#pragma once
#include <cstdio>
#include "sdwan.h"

extern const char *_cfgfile;

int cfg_load();                         // -1 when the file cannot be opened, else 0
int cfg_read(FILE *fp, sdwan_t *clnt);  // parse an open stream into clnt, validate; 0
int cfg_valid(sdwan_t *clnt);           // 1 valid, 0 invalid (logs the first failed setting)
void sdwan_clear_cfg(sdwan_t *clnt);
