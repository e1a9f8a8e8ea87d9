// gatewardenctl's command line: global and named options, positional words,
// the help of each subcommand, and the checks of option values.
#include <arpa/inet.h>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>

#include "tools/common/getopt_failure.h"
#include "tools/common/parse_number.h"
#include "tools/ctl/ctl.h"

const char *ctl_cmdname = "";

static int bad_value(const char *opt, const char *text, const char *what)
{
    ctl_usage_error("%s needs %s (got \"%s\")", opt, what, text);
    return -1;
}

// The global options; their codes are what getopt_long returns.
enum { G_JSON = 1000, G_HOSTS, G_ALL, G_VERSION, G_SUB = 1100 };
static const struct option GLOBAL_OPTIONS[] = {
    {"host", required_argument, nullptr, 'H'},
    {"port", required_argument, nullptr, 'p'},
    {"timeout", required_argument, nullptr, 't'},
    {"json", no_argument, nullptr, G_JSON},
    {"hosts", required_argument, nullptr, G_HOSTS},
    {"all", optional_argument, nullptr, G_ALL},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, G_VERSION},
};
enum { NGLOBAL = sizeof GLOBAL_OPTIONS / sizeof GLOBAL_OPTIONS[0] };
// The short options; "+" stops at the first word that is not an option.
static const char GLOBAL_SHORT[] = "+H:p:t:h";

// Applies global option c with its value. 1 applied, 0 --help or --version
// (printed), -1 bad value (reported).
static int global_apply(int c, const char *val)
{
    long v = 0;
    switch (c) {
    case 'H':
        if (ctl_check_host(val) != 0)
            return bad_value("--host", val, "a host name or IPv4 address");
        if (ctl_add_host(val) != 0)
            return -1;
        g_ctl.host = val;
        return 1;
    case 'p':
        if (parse_long(val, 1, 65535, &v) != 0)
            return bad_value("--port", val, "a port number from 1 to 65535");
        g_ctl.port = (int)v;
        return 1;
    case 't':
        if (parse_long(val, 1, 3600000, &v) != 0)
            return bad_value("--timeout", val, "a time in milliseconds (1 to 3600000)");
        g_ctl.timeout_ms = v;
        return 1;
    case G_JSON:
        g_ctl.json = 1;
        return 1;
    case G_HOSTS:
        g_ctl.fleet = 1;
        return ctl_read_hosts(val) == 0 ? 1 : -1;
    case G_ALL:
        if (val && ctl_split_host_port(val, nullptr, 0, nullptr) != 0)
            return bad_value("--all", val, "a broadcast address or host to search[:PORT]");
        g_ctl.fleet = 1;
        g_ctl.all = val ? val : "255.255.255.255";
        return 1;
    case G_VERSION:
        printf("%s %s\n", ctl_prog, GATEWARDEN_VERSION);
        return 0;
    default:
        return -1;
    }
}

// What getopt_long could not take, reported as a usage error; returns CTL_USAGE.
static int getopt_failed(char **argv)
{
    char msg[300];
    getopt_failure(argv, GLOBAL_SHORT, msg, sizeof msg);
    return ctl_usage_error("%s", msg);
}

int ctl_global_opts(int argc, char **argv, int *status)
{
    opterr = 0;
    optind = 0;
    int c;
    while ((c = getopt_long(argc, argv, GLOBAL_SHORT, GLOBAL_OPTIONS, nullptr)) != -1) {
        if (c == 'h') {
            *status = CTL_OK;
            return -2;
        }
        int r = c == '?' ? (getopt_failed(argv), -1) : global_apply(c, optarg);
        if (r <= 0) {
            *status = r == 0 ? CTL_OK : CTL_USAGE;
            return -1;
        }
    }
    return optind;
}

void ctl_print_global_help(void)
{
    printf("\nGlobal options (before or after the subcommand):\n"
           "  -H, --host HOST     controller to talk to (default 127.0.0.1); repeat it to\n"
           "                      run the command on several controllers at once\n"
           "      --hosts FILE    ... on every address in FILE (one a line, # comments)\n"
           "      --all[=ADDR[:PORT]]  ... on every controller that answers a search (sent\n"
           "                      to ADDR, by default 255.255.255.255, UDP port %d;\n"
           "                      -p is the port of the command, not of the search)\n"
           "  -p, --port N        port (default %d for TCP commands, %d for UDP)\n"
           "  -t, --timeout MS    how long to wait for an answer (default %d ms; search: %d ms)\n"
           "      --json          one line of compact JSON per result, errors included\n"
           "  -h, --help          show this help\n"
           "      --version       show the version\n",
           UDP_PORT, TCP_PORT, UDP_PORT, CTL_REPLY_TIMEOUT_MS, CTL_SEARCH_TIMEOUT_MS);
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
    struct option *lo = (struct option *)calloc((size_t)(nopts + NGLOBAL + 1), sizeof *lo);
    if (!lo) {
        ctl_err("out of memory");
        *status = CTL_NOANSWER;
        return -1;
    }
    for (int k = 0; k < nopts; k++)
        lo[k] = {opts[k].name, opts[k].metavar ? required_argument : no_argument, nullptr,
                 G_SUB + k};
    memcpy(lo + nopts, GLOBAL_OPTIONS, sizeof GLOBAL_OPTIONS);
    opterr = 0;
    optind = 0;
    int c, r = 1;
    while (r > 0 && (c = getopt_long(argc, argv, GLOBAL_SHORT + 1, lo, nullptr)) != -1) {
        if (c == 'h') {
            print_help(u, opts, nopts);
            *status = CTL_OK;
            r = 0;
        } else if (c >= G_SUB && c < G_SUB + nopts) {
            opts[c - G_SUB].value = optarg ? optarg : "1";
        } else if (c == '?') {
            *status = getopt_failed(argv);
            r = -1;
        } else if ((r = global_apply(c, optarg)) <= 0) {
            *status = r == 0 ? CTL_OK : CTL_USAGE;
        }
    }
    free(lo);
    if (r <= 0)
        return -1;
    int npos = argc - optind;
    if (npos > u->npos_max) {
        *status = ctl_usage_error("unexpected argument '%s'", argv[optind + u->npos_max]);
        return -1;
    }
    if (npos < u->npos_min) {
        *status = ctl_usage_error("missing argument");
        return -1;
    }
    for (int k = 0; k < npos; k++)
        pos[k] = argv[optind + k];
    if ((g_ctl.fleet || g_ctl.nhosts > 1) && u->one_host) {
        *status = ctl_usage_error("this command takes no -H, --hosts or --all");
        return -1;
    }
    return npos;
}

int ctl_fan_out(int *status)
{
    if (!g_ctl.fleet && g_ctl.nhosts <= 1)
        return 0;
    // The parent runs the command on every host and ends here; each child
    // goes on as the command on its own host.
    return ctl_fleet_run(status);
}

int ctl_usage_error(const char *fmt, ...)
{
    va_list ap;
    // Before the subcommand is known, the tool's own name alone.
    const char *sep = *ctl_cmdname ? " " : "";
    char msg[600];
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    if (g_ctl.json)
        ctl_err("%s", msg);
    else
        fprintf(stderr, "%s%s%s: %s\nTry '%s%s%s --help'.\n", ctl_prog, sep, ctl_cmdname, msg,
                ctl_prog, sep, ctl_cmdname);
    return CTL_USAGE;
}

int ctl_check_host(const char *text)
{
    // Digits and dots only: meant as an address, so it must be one.
    if (!*text || (strspn(text, "0123456789.") == strlen(text) && netaddr_check_ipv4(text) != 0))
        return -1;
    return 0;
}

int ctl_split_host_port(const char *text, char *host, size_t size, int *port)
{
    const char *colon = strrchr(text, ':');
    size_t n = colon ? (size_t)(colon - text) : strlen(text);
    char h[256];
    long v = 0;
    if (n >= sizeof h || (colon && parse_long(colon + 1, 1, 65535, &v) != 0))
        return -1;
    memcpy(h, text, n);
    h[n] = '\0';
    if (ctl_check_host(h) != 0 || (host && n >= size))
        return -1;
    if (host)
        memcpy(host, h, n + 1);
    if (port)
        *port = (int)v;
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
        if (netconfig_check_value(k, val) != 0)
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
