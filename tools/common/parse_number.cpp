#include "tools/common/parse_number.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

int parse_long(const char *text, long min, long max, long *out)
{
    // strtol would skip leading blanks and take an empty text as 0.
    if (!text || !*text || isspace(static_cast<unsigned char>(*text)))
        return -1;
    char *end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < min || v > max)
        return -1;
    *out = v;
    return 0;
}
