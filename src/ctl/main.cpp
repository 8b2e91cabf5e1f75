// tolvactl: process entry and command line.
#include <cerrno>
#include <cstring>

#include "client/status.h"
#include "ctl/ctl.h"

namespace {

void usage(FILE *out)
{
    fputs("Usage: tolvactl check [-f <config file>] [--json]\n"
          "       tolvactl show [-f <config file>] [--json] [<status file>]\n"
          "       tolvactl cleanup [-f <config file>]\n"
          "       tolvactl genkey <file>\n"
          "       tolvactl pubkey <file>\n"
          "       tolvactl -h\n"
          "check: what tolvad will make of the configuration (default /etc/sdwan/kesp.conf);\n"
          "       exit 0 when it would start a session, 1 otherwise\n"
          "show:  the state of the running client, or the sessions of the running server, from\n"
          "       its status file (default: the one the configuration names with status=);\n"
          "       exit 3 when the file is stale\n"
          "cleanup: remove what a killed run left (its TUN interface and routes); the service\n"
          "       units run it after every end of the daemon\n",
          out);
}

}  // namespace

int ctl_main(int argc, char **argv)
{
    if (argc < 2) {
        usage(stderr);
        return 2;
    }
    if (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0) {
        usage(stdout);
        return 0;
    }
    const bool genkey = strcmp(argv[1], "genkey") == 0;
    if (genkey || strcmp(argv[1], "pubkey") == 0) {
        if (argc != 3 || argv[2][0] == '-') {
            usage(stderr);
            return 2;
        }
        return genkey ? ctl_genkey(argv[2], stdout, stderr) : ctl_pubkey(argv[2], stdout, stderr);
    }
    const bool check = strcmp(argv[1], "check") == 0;
    const bool cleanup = strcmp(argv[1], "cleanup") == 0;
    if (!check && !cleanup && strcmp(argv[1], "show") != 0) {
        fprintf(stderr, "tolvactl: unknown command %s\n", argv[1]);
        usage(stderr);
        return 2;
    }
    const char *cfg = CTL_DEFAULT_CFG;
    const char *file = nullptr;
    bool json = false;
    for (int i = 2; i < argc; i++) {
        if (strcmp(argv[i], "--json") == 0 && !cleanup) {
            json = true;
        } else if (strcmp(argv[i], "-f") == 0 && i + 1 < argc) {
            cfg = argv[++i];
        } else if (argv[i][0] != '-' && !check && !cleanup && file == nullptr) {
            file = argv[i];
        } else {
            fprintf(stderr, "tolvactl: unexpected argument %s\n", argv[i]);
            usage(stderr);
            return 2;
        }
    }
    // The client object the loader fills, of static storage as the daemon's (it is large).
    static sdwan_t clnt;
    if (check)
        return ctl_check(&clnt, cfg, json, stdout);
    if (cleanup)
        return ctl_cleanup(&clnt, cfg);

    char path[STATUS_PATH_MAX];
    if (file == nullptr) {
        if (ctl_cfg_status(&clnt, cfg, path, sizeof path) != 0) {
            fprintf(stderr, "tolvactl: cannot read configuration file %s: %s\n", cfg, strerror(errno));
            return 1;
        }
        if (path[0] == '\0') {
            fprintf(stderr, "tolvactl: %s names no status file (status=); give its path\n", cfg);
            return 1;
        }
        file = path;
    }
    return ctl_show(file, json, stdout, stderr);
}

int main(int argc, char **argv) { return ctl_main(argc, argv); }
