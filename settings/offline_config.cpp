#include "settings/offline_config.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int offline_period_parse(const char *text, long *seconds)
{
    if (!text || !isdigit(static_cast<unsigned char>(text[0])))
        return -1;
    char *end = nullptr;
    errno = 0;
    long n = strtol(text, &end, 10);
    long unit = *end == 'm' ? 60 : *end == 'h' ? 3600 : 0;
    if (errno != 0 || unit == 0 || end[1] != '\0' || n > OFFLINE_GRACE_MAX_S / unit)
        return -1;
    if (n * unit < OFFLINE_GRACE_MIN_S)
        return -1;
    *seconds = n * unit;
    return 0;
}

int offline_config_read(const char *path, long *seconds)
{
    FILE *f = fopen(path, "re");
    if (!f)
        return errno == ENOENT ? 0 : -1;
    char line[128];
    long period = 0;
    int found = 0, bad = 0;
    while (fgets(line, sizeof line, f)) {
        char *p = line;
        while (isspace(static_cast<unsigned char>(*p)))
            p++;
        char *e = p + strlen(p);
        while (e > p && isspace(static_cast<unsigned char>(e[-1])))
            *--e = '\0';
        if (*p == '\0' || *p == '#')
            continue;
        found++;
        bad |= offline_period_parse(p, &period) != 0;
    }
    bad |= ferror(f);
    fclose(f);
    if (bad || found != 1)
        return -1;
    *seconds = period;
    return 1;
}

void offline_period_text(long seconds, char *out, unsigned long size)
{
    if (seconds % 3600 == 0)
        snprintf(out, size, "%ldh", seconds / 3600);
    else
        snprintf(out, size, "%ldm", seconds / 60);
}
