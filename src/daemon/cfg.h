// The configuration file: one section line naming the TUN interface and key=value lines, read
// once at start-up into the client record.
#pragma once
#include <cstdint>
#include <cstdio>
#include "client/record.h"
#include "conf/kv.h"

extern const char *cfgfile_path;

inline constexpr long CFG_FILE_MAX = 1024 * 1024;          // larger is not a configuration file

// Reads cfgfile_path into clnt. -1 when the file cannot be opened, is not a regular file or is
// larger than CFG_FILE_MAX (errno tells which), else 0. *why, when asked for, is the first failed setting in
// cfg_problem's words, or null for a valid file. diags, when given, receives what the reader
// found suspicious line by line; it never changes what is stored.
int cfg_load(sdwan_t *clnt, const char **why = nullptr, kv_diags_t *diags = nullptr);
// Parses an open stream and validates; 0.
int cfg_read(FILE *fp, sdwan_t *clnt, const char **why = nullptr, kv_diags_t *diags = nullptr);
int cfg_valid(sdwan_t *clnt);  // 1 valid, 0 invalid (logs the first failed setting)
// The first setting that keeps the daemon from starting a session ("INVALID port"), or null.
const char *cfg_problem(const sdwan_t *clnt);
void sdwan_clear_cfg(sdwan_t *clnt);
