// Address text: str2ip on any text, and for every text it accepts, the dotted form of the
// result parses back to the same value.
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "net/ipaddr.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The text ends at the input's end or at its first zero byte, as a C string would.
    std::string text(reinterpret_cast<const char *>(data), size);
    const uint32_t v = str2ip(text.c_str());
    if (v == 0)
        return 0;

    // Only decimal digits and at most three dots are ever taken for an address.
    const char *s = text.c_str();
    FUZZ_CHECK(strspn(s, "0123456789.") == strlen(s));
    int dots = 0;
    for (const char *p = s; *p != 0; p++)
        dots += *p == '.' ? 1 : 0;
    FUZZ_CHECK(dots <= 3);

    char back[16];
    FUZZ_CHECK(ip2strv4(v, back, sizeof back) != nullptr);
    FUZZ_CHECK(str2ip(back) == v);
    // A buffer one byte short of the longest dotted form is refused, never overrun.
    char tight[15];
    if (strlen(back) >= sizeof tight)
        FUZZ_CHECK(ip2strv4(v, tight, sizeof tight) == nullptr);
    return 0;
}
