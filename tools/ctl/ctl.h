// gatewardenctl: what the tool's files share. The protocol's own names and
// limits come from netservice/mgmt_proto.h.
#pragma once

#include <cjson/cJSON.h>
#include <netinet/in.h>
#include <stddef.h>
#include <stdio.h>

#include "common/netaddr.h"
#include "netservice/mgmt_proto.h"
#include "settings/netconfig.h"

// Exit statuses, also the results of every subcommand.
enum {
    CTL_OK = 0,          // the controller answered "response" 1 (or the search found one)
    CTL_REFUSED = 1,     // the controller answered "response" 0, or has nothing to show
    CTL_USAGE = 2,       // bad command line
    CTL_NOANSWER = 3,    // no (usable) answer in time: time-out, broken or foreign reply
    CTL_NOCONNECT = 4,   // no controller there: connection refused (the daemon is not running)
    CTL_UNREACHABLE = 5, // the host cannot be reached: no route, or no answer to connect
};

enum {
    CTL_REPLY_TIMEOUT_MS = 10000, // a card check may hold the controller for seconds
    CTL_SEARCH_TIMEOUT_MS = 2000,
};

enum { CTL_FLEET_PARALLEL = 16 }; // hosts served at once by a command on several

// Options that every subcommand accepts.
struct ctl_global {
    const char *host;   // -H, --host (default 127.0.0.1): the host of this process
    int port;           // -p, --port (0: the subcommand's default port)
    long timeout_ms;    // -t, --timeout (0: the subcommand's default)
    int json;           // --json: compact JSON, one line per result
    const char **hosts; // every -H, --hosts and --all host, nhosts of them
    int nhosts;
    int fleet;       // --hosts or --all given: results prefixed by the host
    const char *all; // --all: where the search goes
};
extern struct ctl_global g_ctl;

extern const char *ctl_prog;    // "gatewardenctl", for messages
extern const char *ctl_cmdname; // the running subcommand ("reader set"), for messages

// Prints "gatewardenctl: " and the formatted message on standard error.
void ctl_err(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Reports a usage error of the running subcommand with a hint; returns CTL_USAGE.
int ctl_usage_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
long ctl_now_ms(void); // CLOCK_MONOTONIC

// ---- Command line (ctl_args.cpp) ----

// One named option of a subcommand, written --name VALUE or --name=VALUE
// (a flag when metavar is null).
struct ctl_opt {
    const char *name;    // long name without the dashes
    const char *metavar; // name of its argument in the help, null for a flag
    const char *help;    // one line
    const char *value;   // set by ctl_parse: the argument, "1" for a flag, null when absent
};

// What a subcommand's --help shows.
struct ctl_usage {
    const char *synopsis;    // after "gatewardenctl": "reader set [--relay N] ..."
    const char *description; // a few lines, each ending with a line feed
    int npos_min;            // positional words required
    int npos_max;            // positional words allowed
    bool one_host;           // refuses several hosts (the UDP commands)
};

// Parses the global options before the subcommand (getopt_long). The index
// of the subcommand's name, or -1 when the tool must end with *status (after
// --version, or a usage error), -2 for --help.
int ctl_global_opts(int argc, char **argv, int *status);
// Prints the global options block of the help texts.
void ctl_print_global_help(void);

// Parses the words after the subcommand's name (argv[1] .. argv[argc-1]).
// Returns the number of positional words (stored in pos, at most
// u->npos_max), or -1 when the subcommand must end with *status: 0 after
// printing --help, CTL_USAGE after reporting a usage error.
int ctl_parse(int argc, char **argv, const struct ctl_usage *u, struct ctl_opt *opts, int nopts,
              const char **pos, int *status);

// Several hosts: runs the command on each (ctl_fleet_run). A command calls
// it once its values are checked, before its first request, so a bad value
// is refused before anything is searched or sent. 0: go on (one host, or a
// child on its own host); -1: the parent, end with *status, the worst.
int ctl_fan_out(int *status);

// Value checks: 0 valid, -1 not (nothing reported); the network values'
// checks are the daemon's own (common/netaddr.h).
// A host name or IPv4 address: not empty, and digits and dots only when an address.
int ctl_check_host(const char *text);
// ADDR[:PORT] of --all: a host as ctl_check_host wants it, and a port from 1
// to 65535 (0 in *port when none). host (size bytes) and port may be null.
int ctl_split_host_port(const char *text, char *host, size_t size,
                        int *port); // http:// or https://, printable, within READER_URL_MAX

// A numeric option: absent leaves *out alone and returns 0; valid stores it
// and returns 0; invalid reports a usage error and returns -1.
int ctl_opt_long(const struct ctl_opt *o, long min, long max, long *out);

// The network options shared by "net set" (TCP) and "netconf-udp", in the
// order of the settings file's entries (NET_IP .. NET_MAC, settings/netconfig.h).
enum { NET_COUNT = NET_ENTRIES };
#define NET_OPTIONS                                                                                \
    {"ip", "ADDR", "new IPv4 address", nullptr},                                                   \
        {"mask", "MASK", "new netmask (255.255.255.0)", nullptr},                                  \
        {"gateway", "ADDR", "new default gateway", nullptr},                                       \
        {"dns", "ADDR", "new DNS server", nullptr},                                                \
    {                                                                                              \
        "mac", "MAC", "new MAC address (02:00:00:00:00:01)", nullptr                               \
    }

// New network values; a null or empty value keeps the controller's current one.
struct net_values {
    const char *ip, *mask, *gateway, *dns, *mac;
};

// Checks the values of the NET_OPTIONS given (at least one) and fills nv
// from them. CTL_OK, or CTL_USAGE (reported).
int net_options_check(const struct ctl_opt *o, struct net_values *nv);

// ---- Several hosts (ctl_fleet.cpp) ----

// Adds a host to g_ctl.hosts. 0, or -1 (reported).
int ctl_add_host(const char *host);
// Adds the hosts of file: one a line, blanks around it ignored, "#" starts a
// comment. 0, or -1 (reported).
int ctl_read_hosts(const char *file);
// Runs the command on every host, at most CTL_FLEET_PARALLEL at once, each in
// a child process that returns from here with g_ctl.host set (0). The parent
// prints each host's result as it ends, prefixed by its address (--json:
// {"host":..,"status":..,"result":..[,"error":..]} a line), and returns -1
// with the worst status in *status.
int ctl_fleet_run(int *status);
// The controllers that answer a search sent to where (ADDR[:PORT], UDP, by
// default the discovery port whatever -p says): CTL_OK with
// their addresses added to g_ctl.hosts, or another status (reported).
int ctl_search_hosts(const char *where);

// ---- Requests (ctl_request.cpp) ----
// Each builder returns a compact JSON text, malloc'd (release with free()),
// null when out of memory.

// {"Command":"<command>"}: the commands that carry no data.
char *req_simple(const char *command);
// {"Command":"CMD_SetReaderInfo","Data":{"devAddr":..,"tRelay":..,"tLight":..,"tBuzzer":..,"Status":..}}
char *req_set_reader_info(long devaddr, long relay, long light, long buzzer, long status);
// {"Command":"CMD_CtrDevice","Data":{"Light":..,"Buzzer":..,"Relay":..}}
char *req_ctr_device(long light, long buzzer, long relay);
// {"Command":"CMD_SetNetConf","Data":{["OldIP":..,]"IP":..,"Mask":..,"Gateway":..,"DNS":..,"MAC":..}}
// old_ip null: the TCP form without "OldIP".
char *req_set_net_conf(const char *old_ip, const struct net_values *v);
// {"Command":"CMD_SetUrlAddr","Data":"<url>"}
char *req_set_url(const char *url);
// {"Command":"CMD_SearchReader","Data":"TcpReader Request"}
char *req_search(void);

// ---- Replies: reading and printing (ctl_reply.cpp) ----

// The controller sends no delimiter: a reply is one JSON object, complete when
// its outermost closing brace has come. The scanner counts braces outside
// strings, minding backslash escapes inside them.
struct reply_scan {
    int depth;
    bool in_string;
    bool escape;
    bool started;
};
enum {
    SCAN_MORE = 0, // the object is not complete yet
    SCAN_DONE = 1, // complete; *used tells how many bytes of this chunk belong to it
    SCAN_BAD = -1, // the stream does not start with an object
};

// Feeds the next chunk of the stream (start with a zeroed reply_scan).
int reply_scan_feed(struct reply_scan *s, const char *buf, size_t len, size_t *used);

// Parses a complete reply: 0 when it is an object with a number "response"
// (*tree owns the parsed object, *response its value), -1 otherwise.
int reply_parse(const char *text, size_t len, cJSON **tree, int *response);

// One "name  value" row per member of obj (nested values in compact JSON),
// names padded to the widest.
void print_members(FILE *out, const cJSON *obj);
// One "label  value" row.
void print_row(FILE *out, const char *label, int width, const char *value);
// Writes text with control bytes shown as \xHH, so a reply cannot drive the terminal.
void print_text(FILE *out, const char *text);
// The text of a scalar JSON value (strings unquoted) or compact JSON; malloc'd.
char *value_text(const cJSON *v);

// ---- TCP: one request and its reply (ctl_tcp.cpp) ----

// Resolves host (a name or IPv4 address) to an IPv4 socket address with the
// given port. CTL_OK, or CTL_USAGE (no such host) / CTL_NOANSWER (the
// resolver failed), reported.
int ctl_resolve(const char *host, int port, int socktype, struct sockaddr_in *sa);

// Connects to the controller (g_ctl.host, g_ctl.port or TCP_PORT), sends the
// request text in one piece, and reads until the reply's outermost object has
// closed, all within g_ctl.timeout_ms (or the default). The controller ends a
// request at TCP_GAP_MS of silence, so nothing else is sent; the connection
// is closed after the reply.
// CTL_OK: *reply holds the reply (malloc'd, NUL-terminated, *len bytes).
// CTL_USAGE: the request is longer than REQUEST_MAX, or no such host (reported).
// CTL_NOCONNECT: nothing accepts connections there (reported).
// CTL_UNREACHABLE: no route to the host, or no answer to connect (reported).
// CTL_NOANSWER: no complete reply in time (reported, with what to try).
int tcp_exchange(const char *request, char **reply, size_t *len);

// How the reply of a command is shown.
struct reply_view {
    const char *command;    // the command name, for messages; null for raw
    const char *data_label; // label of a string "Data" ("URL"), null for none
    const char *done;       // line printed for a plain {"response":1}, null for none
    const char *refused;    // what to try after {"response":0}
    // Looks at the "Data" of an accepted reply before it is printed: CTL_OK,
    // or an exit status after reporting why not. Null: every reply is fine.
    int (*check)(const cJSON *data);
    // Reports a refusal itself and returns the exit status; null: the
    // refused text above is printed and the status is CTL_REFUSED.
    int (*on_refused)(void);
};

// Sends the request (releasing it), waits for the reply and prints it: a
// table, or with --json the controller's own text. When tree is not null the
// parsed reply is handed to the caller instead of printed (release with
// cJSON_Delete). Returns an exit status.
int run_request(char *request, const struct reply_view *view, cJSON **tree);

// ---- Subcommands: argv[0] is the subcommand's last word; results are exit statuses ----

// ctl_cmd_tcp.cpp: through the controller's TCP command port.
int cmd_reader_get(int argc, char **argv);
int cmd_reader_set(int argc, char **argv);
int cmd_buzzer(int argc, char **argv);
int cmd_relay(int argc, char **argv);
int cmd_light(int argc, char **argv);
int cmd_output(int argc, char **argv);
int cmd_net_get(int argc, char **argv);
int cmd_net_set(int argc, char **argv);
int cmd_url_get(int argc, char **argv);
int cmd_url_set(int argc, char **argv);
int cmd_status(int argc, char **argv);
int cmd_raw(int argc, char **argv);
// ctl_udp.cpp: through the controller's UDP port.
int cmd_search(int argc, char **argv);
int cmd_netconf_udp(int argc, char **argv);
// ctl_audit.cpp: the offline audit in this board's store.
int cmd_audit(int argc, char **argv);
