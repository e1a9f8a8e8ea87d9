#include "tools/common/getopt_failure.h"

#include <cstdio>
#include <cstring>
#include <getopt.h>

void getopt_failure(char **argv, const char *shortopts, char *msg, size_t size)
{
    const char *a = argv[optind - 1];
    const char *eq = strchr(a, '=');
    // optopt is set for a short option getopt does not know, too.
    if (optopt == 0 || (optopt < 256 && (strchr(":+", optopt) || !strchr(shortopts, optopt))))
        snprintf(msg, size, "unknown option '%s'", a);
    else if (eq && strncmp(a, "--", 2) == 0)
        snprintf(msg, size, "%.*s takes no value", (int)(eq - a), a);
    else
        snprintf(msg, size, "%s needs a value", a);
}
