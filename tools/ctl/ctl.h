// gatewardenctl: shared declarations of the configuration tool.
#pragma once

#include <stddef.h>

// Exit statuses, also the results of every subcommand.
enum {
    CTL_OK = 0,       // the controller answered "response" 1 (or the search found one)
    CTL_REFUSED = 1,  // the controller answered "response" 0
    CTL_USAGE = 2,    // bad command line
    CTL_NOANSWER = 3, // no (usable) answer: refused connection, time-out, bad reply
};

enum {
    CTL_TCP_PORT = 8001,
    CTL_UDP_PORT = 8000,
    CTL_REPLY_TIMEOUT_MS = 10000, // a card check may hold the controller for seconds
    CTL_SEARCH_TIMEOUT_MS = 2000,
    CTL_REQUEST_MAX = 1023, // the controller reads at most this many bytes per request
};

// Options that every subcommand accepts.
struct ctl_global {
    const char *host; // -H, --host (default 127.0.0.1)
    int port;         // -p, --port (0: the subcommand's default port)
    long timeout_ms;  // -t, --timeout (0: the subcommand's default)
    int json;         // --json: print the controller's own reply text
};
extern struct ctl_global g_ctl;

extern const char *ctl_prog; // "gatewardenctl", for messages

// Prints "gatewardenctl: " and the formatted message on standard error.
void ctl_err(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Subcommands: argv[0] is the subcommand's last word; results are exit statuses.
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
int cmd_raw(int argc, char **argv);
int cmd_search(int argc, char **argv);
int cmd_netconf_udp(int argc, char **argv);
