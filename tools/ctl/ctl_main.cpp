// gatewardenctl: finds gatewarden controllers and reads and changes their
// settings through the controller's UDP port 8000 and TCP port 8001.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "tools/ctl/ctl.h"

#ifndef GATEWARDEN_VERSION
#define GATEWARDEN_VERSION "unknown"
#endif

struct ctl_global g_ctl = {"127.0.0.1", 0, 0, 0};
const char *ctl_prog = "gatewardenctl";

void ctl_err(const char *fmt, ...)
{
    va_list ap;
    fprintf(stderr, "%s: ", ctl_prog);
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fputc('\n', stderr);
}

long ctl_now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

struct ctl_cmd {
    const char *group; // first word, or null for one-word subcommands
    const char *verb;
    const char *full; // the whole name, for messages
    int (*run)(int argc, char **argv);
    const char *summary;
};

static const struct ctl_cmd commands[] = {
    {nullptr, "search", "search", cmd_search, "find the controllers on this network (UDP)"},
    {"reader", "get", "reader get", cmd_reader_get, "show the reader settings and device address"},
    {"reader", "set", "reader set", cmd_reader_set, "change them (--devaddr --relay --light ...)"},
    {nullptr, "buzzer", "buzzer", cmd_buzzer, "sound the buzzer"},
    {nullptr, "relay", "relay", cmd_relay, "work the gate relay"},
    {nullptr, "light", "light", cmd_light, "switch the light"},
    {nullptr, "output", "output", cmd_output, "set light, buzzer and relay codes at once"},
    {"net", "get", "net get", cmd_net_get, "show the stored network settings"},
    {"net", "set", "net set", cmd_net_set, "change them; the controller reboots"},
    {"url", "get", "url get", cmd_url_get, "show the access service URL"},
    {"url", "set", "url set", cmd_url_set, "change it"},
    {nullptr, "raw", "raw", cmd_raw, "send a JSON request as given"},
    {nullptr, "netconf-udp", "netconf-udp", cmd_netconf_udp,
     "change the network settings over UDP; it reboots"},
    {nullptr, "audit", "audit", cmd_audit, "cards decided without the service (--drain)"},
};
enum { NCOMMANDS = sizeof commands / sizeof commands[0] };

static void usage(FILE *out)
{
    fprintf(out,
            "usage: %s [-H HOST] [-p PORT] [-t MS] [--json] COMMAND [ARGS]\n\n"
            "Finds gatewarden access controllers and reads and changes their settings.\n\n"
            "Commands:\n",
            ctl_prog);
    for (int k = 0; k < NCOMMANDS; k++)
        fprintf(out, "  %-14s %s\n", commands[k].full, commands[k].summary);
    if (out == stdout) {
        ctl_print_global_help();
        printf("\nExit status: 0 done, 1 refused by the controller (or nothing to show), 2 bad\n"
               "usage, 3 no answer in time, 4 no controller there (connection refused).\n"
               "'%s COMMAND --help' describes a command.\n",
               ctl_prog);
    }
}

int main(int argc, char **argv)
{
    int i = 1;
    while (i < argc && argv[i][0] == '-') {
        if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) {
            usage(stdout);
            return CTL_OK;
        }
        if (strcmp(argv[i], "--version") == 0) {
            printf("%s %s\n", ctl_prog, GATEWARDEN_VERSION);
            return CTL_OK;
        }
        int g = ctl_global_opt(argc, argv, &i);
        if (g < 0)
            return CTL_USAGE;
        if (g == 0) {
            fprintf(stderr, "%s: unknown option '%s'\nTry '%s --help'.\n", ctl_prog, argv[i],
                    ctl_prog);
            return CTL_USAGE;
        }
        i++;
    }
    if (i >= argc) {
        usage(stderr);
        return CTL_USAGE;
    }
    const char *word = argv[i];
    bool group = false;
    for (int k = 0; k < NCOMMANDS; k++) {
        const struct ctl_cmd *c = &commands[k];
        if (!c->group) {
            if (strcmp(c->verb, word) == 0) {
                ctl_cmdname = c->full;
                return c->run(argc - i, argv + i);
            }
            continue;
        }
        if (strcmp(c->group, word) != 0)
            continue;
        group = true;
        if (i + 1 < argc && strcmp(c->verb, argv[i + 1]) == 0) {
            ctl_cmdname = c->full;
            return c->run(argc - i - 1, argv + i + 1);
        }
    }
    if (group) {
        fprintf(stderr, "%s: '%s' needs get or set, e.g. '%s %s get'.\n", ctl_prog, word, ctl_prog,
                word);
        return CTL_USAGE;
    }
    fprintf(stderr, "%s: unknown command '%s'\nTry '%s --help'.\n", ctl_prog, word, ctl_prog);
    return CTL_USAGE;
}
