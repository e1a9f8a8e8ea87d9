#include "tools/readersim/simlog.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace
{
int64_t start_ns;
}

void simlog_start(void)
{
    start_ns = mono_ns();
}

void simlog(const char *fmt, ...)
{
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    printf("t=%.3f %s\n", static_cast<double>(mono_ns() - start_ns) / 1e9, text);
}

void hex_text(char *out, const unsigned char *p, int n)
{
    static const char digits[] = "0123456789ABCDEF";
    for (int i = 0; i < n; i++) {
        out[2 * i] = digits[p[i] >> 4];
        out[2 * i + 1] = digits[p[i] & 0x0F];
    }
    out[2 * (n > 0 ? n : 0)] = '\0';
}
