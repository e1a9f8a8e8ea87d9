// Command-line parsing of the subcommands: named options, global options,
// positional words, per-subcommand help, and checks of option values.
#pragma once

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
};

extern const char *ctl_cmdname; // the running subcommand ("reader set"), for messages

// Recognises a global option at argv[*i] and consumes it (with its value).
// 1 consumed, 0 not a global option, -1 bad value (reported).
int ctl_global_opt(int argc, char **argv, int *i);
// Prints the global options block of the help texts.
void ctl_print_global_help(void);

// Parses the words after the subcommand's name (argv[1] .. argv[argc-1]).
// Returns the number of positional words (stored in pos, at most
// u->npos_max), or -1 when the subcommand must end with *status: 0 after
// printing --help, CTL_USAGE after reporting a usage error.
int ctl_parse(int argc, char **argv, const struct ctl_usage *u, struct ctl_opt *opts, int nopts,
              const char **pos, int *status);

// Reports a usage error of the running subcommand with a hint; returns CTL_USAGE.
int ctl_usage_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Value checks: 0 valid, -1 not (nothing reported).
int ctl_parse_long(const char *text, long min, long max, long *out);
int ctl_check_ipv4(const char *text);
int ctl_check_mask(const char *text); // a dotted IPv4 mask with contiguous ones
int ctl_check_mac(const char *text);  // six hex pairs separated by ':'
int ctl_check_url(const char *text);  // http:// or https://, printable, within the length limit

// A numeric option: absent leaves *out alone and returns 0; valid stores it
// and returns 0; invalid reports a usage error and returns -1.
int ctl_opt_long(const struct ctl_opt *o, long min, long max, long *out);
