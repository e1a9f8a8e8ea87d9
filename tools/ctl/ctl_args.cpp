// gatewardenctl's command line: global and named options, positional words,
// the help of each subcommand, and the checks of option values.
#include <arpa/inet.h>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "tools/common/parse_number.h"
#include "tools/ctl/ctl.h"

const char *ctl_cmdname = "";

static int bad_value(const char *opt, const char *text, const char *what)
{
    ctl_usage_error("%s needs %s (got \"%s\")", opt, what, text);
    return -1;
}

int ctl_global_opt(int argc, char **argv, int *i)
{
    enum { G_HOST, G_PORT, G_TIMEOUT };
    static const struct {
        const char *shortname, *longname;
        int kind;
    } globals[] = {
        {"-H", "--host", G_HOST}, {"-p", "--port", G_PORT}, {"-t", "--timeout", G_TIMEOUT}};
    const char *a = argv[*i];
    if (strcmp(a, "--json") == 0) {
        g_ctl.json = 1;
        return 1;
    }
    for (const auto &g : globals) {
        size_t n = strlen(g.longname);
        const char *val = nullptr;
        if (strcmp(a, g.shortname) == 0 || strcmp(a, g.longname) == 0) {
            if (*i + 1 >= argc) {
                ctl_usage_error("%s needs a value", a);
                return -1;
            }
            val = argv[++*i];
        } else if (strncmp(a, g.longname, n) == 0 && a[n] == '=') {
            val = a + n + 1;
        } else {
            continue;
        }
        long v = 0;
        switch (g.kind) {
        case G_HOST:
            if (ctl_check_host(val) != 0)
                return bad_value(g.longname, val, "a host name or IPv4 address");
            g_ctl.host = val;
            break;
        case G_PORT:
            if (parse_long(val, 1, 65535, &v) != 0)
                return bad_value(g.longname, val, "a port number from 1 to 65535");
            g_ctl.port = (int)v;
            break;
        default:
            if (parse_long(val, 1, 3600000, &v) != 0)
                return bad_value(g.longname, val, "a time in milliseconds (1 to 3600000)");
            g_ctl.timeout_ms = v;
            break;
        }
        return 1;
    }
    return 0;
}

void ctl_print_global_help(void)
{
    printf("\nGlobal options (before or after the subcommand):\n"
           "  -H, --host HOST     controller to talk to (default 127.0.0.1)\n"
           "  -p, --port N        port (default %d for TCP commands, %d for UDP)\n"
           "  -t, --timeout MS    how long to wait for an answer (default %d ms; search: %d ms)\n"
           "      --json          print the controller's own JSON reply instead of a table\n"
           "  -h, --help          show this help\n",
           TCP_PORT, UDP_PORT, CTL_REPLY_TIMEOUT_MS, CTL_SEARCH_TIMEOUT_MS);
}

static void print_help(const struct ctl_usage *u, const struct ctl_opt *opts, int nopts)
{
    printf("usage: %s %s\n\n%s", ctl_prog, u->synopsis, u->description);
    if (nopts > 0)
        printf("\nOptions:\n");
    for (int k = 0; k < nopts; k++) {
        char left[64];
        snprintf(left, sizeof left, "--%s%s%s", opts[k].name, opts[k].metavar ? " " : "",
                 opts[k].metavar ? opts[k].metavar : "");
        printf("  %-22s %s\n", left, opts[k].help);
    }
    ctl_print_global_help();
}

int ctl_parse(int argc, char **argv, const struct ctl_usage *u, struct ctl_opt *opts, int nopts,
              const char **pos, int *status)
{
    int npos = 0;
    bool only_pos = false;
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        if (!only_pos && strcmp(a, "--") == 0) {
            only_pos = true;
            continue;
        }
        if (!only_pos && a[0] == '-' && a[1] != '\0') {
            if (strcmp(a, "-h") == 0 || strcmp(a, "--help") == 0) {
                print_help(u, opts, nopts);
                *status = CTL_OK;
                return -1;
            }
            int g = ctl_global_opt(argc, argv, &i);
            if (g < 0) {
                *status = CTL_USAGE;
                return -1;
            }
            if (g > 0)
                continue;
            struct ctl_opt *o = nullptr;
            const char *val = nullptr;
            if (a[1] == '-') {
                const char *eq = strchr(a + 2, '=');
                size_t n = eq ? (size_t)(eq - (a + 2)) : strlen(a + 2);
                for (int k = 0; k < nopts; k++) {
                    if (strlen(opts[k].name) == n && strncmp(opts[k].name, a + 2, n) == 0) {
                        o = &opts[k];
                        val = eq ? eq + 1 : nullptr;
                        break;
                    }
                }
            }
            if (!o) {
                *status = ctl_usage_error("unknown option '%s'", a);
                return -1;
            }
            if (!o->metavar) {
                if (val) {
                    *status = ctl_usage_error("--%s takes no value", o->name);
                    return -1;
                }
                o->value = "1";
                continue;
            }
            if (!val) {
                if (i + 1 >= argc) {
                    *status = ctl_usage_error("--%s needs a value (%s)", o->name, o->metavar);
                    return -1;
                }
                val = argv[++i];
            }
            o->value = val;
            continue;
        }
        if (npos >= u->npos_max) {
            *status = ctl_usage_error("unexpected argument '%s'", a);
            return -1;
        }
        pos[npos++] = a;
    }
    if (npos < u->npos_min) {
        *status = ctl_usage_error("missing argument");
        return -1;
    }
    return npos;
}

int ctl_usage_error(const char *fmt, ...)
{
    va_list ap;
    // Before the subcommand is known, the tool's own name alone.
    const char *sep = *ctl_cmdname ? " " : "";
    fprintf(stderr, "%s%s%s: ", ctl_prog, sep, ctl_cmdname);
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fprintf(stderr, "\nTry '%s%s%s --help'.\n", ctl_prog, sep, ctl_cmdname);
    return CTL_USAGE;
}

int ctl_check_host(const char *text)
{
    // Digits and dots only: meant as an address, so it must be one.
    if (!*text || (strspn(text, "0123456789.") == strlen(text) && netaddr_check_ipv4(text) != 0))
        return -1;
    return 0;
}

int ctl_check_url(const char *text)
{
    if (strncmp(text, "http://", 7) != 0 && strncmp(text, "https://", 8) != 0)
        return -1;
    size_t n = strlen(text);
    if (n > READER_URL_MAX || n <= 8)
        return -1;
    for (size_t k = 0; k < n; k++) {
        unsigned char c = (unsigned char)text[k];
        if (c <= ' ' || c >= 127)
            return -1;
    }
    return 0;
}

int ctl_opt_long(const struct ctl_opt *o, long min, long max, long *out)
{
    if (!o->value)
        return 0;
    if (parse_long(o->value, min, max, out) == 0)
        return 0;
    char what[96];
    snprintf(what, sizeof what, "a whole number from %ld to %ld", min, max);
    char name[64];
    snprintf(name, sizeof name, "--%s", o->name);
    return bad_value(name, o->value, what);
}

int net_options_check(const struct ctl_opt *o, struct net_values *nv)
{
    static const char *const what[NET_COUNT] = {
        "an IPv4 address", "a netmask such as 255.255.255.0", "an IPv4 address", "an IPv4 address",
        "a MAC address such as 02:00:00:00:00:01"};
    bool any = false;
    for (int k = 0; k < NET_COUNT; k++) {
        const char *val = o[k].value;
        if (!val)
            continue;
        int bad = k == NET_MASK  ? netaddr_check_mask(val)
                  : k == NET_MAC ? netaddr_check_mac(val)
                                 : netaddr_check_ipv4(val);
        if (bad)
            return ctl_usage_error("--%s needs %s (got \"%s\")", o[k].name, what[k], val);
        any = true;
    }
    if (!any)
        return ctl_usage_error("nothing to change: give at least one of --ip, --mask, --gateway, "
                               "--dns, --mac");
    nv->ip = o[NET_IP].value;
    nv->mask = o[NET_MASK].value;
    nv->gateway = o[NET_GATEWAY].value;
    nv->dns = o[NET_DNS].value;
    nv->mac = o[NET_MAC].value;
    return CTL_OK;
}
