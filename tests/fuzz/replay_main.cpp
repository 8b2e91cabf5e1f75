// Replays a fuzz harness without libFuzzer: every file named, and every regular file of every
// directory named (in name order), goes through the harness once. Built with the project's
// normal compiler, so each test build, the sanitizer build too, re-runs the seeds and every
// past finding.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {
bool is_dir(const std::string &p)
{
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void collect(const std::string &path, std::vector<std::string> *files)
{
    if (!is_dir(path)) {
        files->push_back(path);
        return;
    }
    DIR *d = opendir(path.c_str());
    if (d == nullptr)
        return;
    std::vector<std::string> names;
    while (dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n == "." || n == ".." || n[0] == '.')
            continue;
        names.push_back(path + "/" + n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string &n : names)
        if (!is_dir(n))
            files->push_back(n);
}
}  // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> files;
    for (int i = 1; i < argc; i++)
        collect(argv[i], &files);
    LLVMFuzzerInitialize(&argc, &argv);
    for (const std::string &f : files) {
        std::vector<uint8_t> bytes;
        {
            // Closed before the run: the harness checks that no descriptor outlives one.
            std::ifstream in(f, std::ios::binary);
            if (!in) {
                std::fprintf(stderr, "replay: cannot read %s\n", f.c_str());
                return 1;
            }
            bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        // An input of its own size on the heap, as libFuzzer hands it over, so that a read past
        // its end is caught under the sanitizers.
        uint8_t *copy = new uint8_t[bytes.empty() ? 1 : bytes.size()];
        std::copy(bytes.begin(), bytes.end(), copy);
        LLVMFuzzerTestOneInput(copy, bytes.size());
        delete[] copy;
    }
    std::printf("replayed %zu inputs\n", files.size());
    return files.empty() ? 1 : 0;
}
