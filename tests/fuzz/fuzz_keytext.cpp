// A key's text, as a configuration line or a key file gives it: any bytes, and every text
// accepted is the one canonical form of its key (formatting the key gives the text back).
#include <cstring>
#include <string_view>

#include "fuzz_support.h"
#include "seal/keyfile.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    uint8_t key[KEY_BYTES];
    if (key_parse(text, key) != 0)
        return 0;
    char back[KEY_TEXT + 1];
    key_format(key, back);
    FUZZ_CHECK(text.size() == KEY_TEXT && std::memcmp(back, data, KEY_TEXT) == 0);
    return 0;
}
