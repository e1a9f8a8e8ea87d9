// gatewardenctl: finds gatewarden controllers and reads and changes their
// settings through the controller's UDP port 8000 and TCP port 8001.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "tools/ctl/ctl.h"

#ifndef GATEWARDEN_VERSION
#define GATEWARDEN_VERSION "unknown"
#endif

struct ctl_global g_ctl = {"127.0.0.1", 0, 0, 0, nullptr, 0, 0, nullptr};
const char *ctl_prog = "gatewardenctl";

void ctl_err(const char *fmt, ...)
{
    va_list ap;
    char msg[2048];
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    if (!g_ctl.json) {
        fprintf(stderr, "%s: %s\n", ctl_prog, msg);
        return;
    }
    // One line of JSON: {"error":"..."}.
    cJSON *o = cJSON_CreateObject();
    char *text =
        o && cJSON_AddStringToObject(o, "error", msg) ? cJSON_PrintUnformatted(o) : nullptr;
    fprintf(stderr, "%s\n", text ? text : "{\"error\":\"out of memory\"}");
    free(text);
    cJSON_Delete(o);
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
    {nullptr, "status", "status", cmd_status, "show how the controller is doing"},
    {nullptr, "raw", "raw", cmd_raw, "send a JSON request as given"},
    {nullptr, "netconf-udp", "netconf-udp", cmd_netconf_udp,
     "change the network settings over UDP; it reboots"},
    {nullptr, "audit", "audit", cmd_audit, "cards decided without the service (--drain)"},
};
enum { NCOMMANDS = sizeof commands / sizeof commands[0] };

static void usage(FILE *out)
{
    fprintf(
        out,
        "usage: %s [-H HOST]... [--hosts FILE] [--all[=ADDR[:PORT]]] [-p PORT] [-t MS] [--json]\n"
        "       COMMAND [ARGS]\n\n"
        "Finds gatewarden access controllers and reads and changes their settings.\n\n"
        "Commands:\n",
        ctl_prog);
    for (int k = 0; k < NCOMMANDS; k++)
        fprintf(out, "  %-14s %s\n", commands[k].full, commands[k].summary);
    if (out == stdout) {
        ctl_print_global_help();
        printf("\nExit status: 0 done, 1 refused by the controller (or nothing to show), 2 bad\n"
               "usage, 3 no answer in time, 4 no controller there (connection refused: the\n"
               "daemon is not running), 5 host unreachable (no route, or no answer to connect).\n"
               "On several hosts: the worst of their statuses.\n"
               "'%s COMMAND --help' describes a command.\n",
               ctl_prog);
    }
}

int main(int argc, char **argv)
{
    int st = 0;
    int i = ctl_global_opts(argc, argv, &st);
    if (i == -2) {
        usage(stdout);
        return CTL_OK;
    }
    if (i < 0)
        return st;
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
    if (group)
        return ctl_usage_error("'%s' needs get or set, e.g. '%s %s get'", word, ctl_prog, word);
    return ctl_usage_error("unknown command '%s'", word);
}
