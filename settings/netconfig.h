// Network settings file /etc/eth0-setting: five lines "key=value".
#pragma once

#include <pthread.h>
#include <stddef.h>
#include <time.h>

enum {
    NET_KEY_LEN = 32,
    NET_VALUE_LEN = 64,
    NET_LINE_LEN = 64, // a written line with '=', newline and NUL
    NET_ENTRIES = 5,
};

// Entry positions, in file order.
enum { NET_IP = 0, NET_MASK = 1, NET_GATEWAY = 2, NET_DNS = 3, NET_MAC = 4 };

struct NetEntry {
    char key[NET_KEY_LEN];
    char value[NET_VALUE_LEN];
};

struct NetInfo {
    NetEntry entry[NET_ENTRIES];
};

// Where the settings live, and how the name of a new file written beside
// them starts.
extern const char *const NETCONFIG_PATH;
inline constexpr char NETCONFIG_TMP_PREFIX[] = ".gatewarden-new.";

// Fills a cleared record from the file, one entry a line, at most five lines.
// Returns 0, or -1 after printing why when the file cannot be opened (the
// record stays cleared, errno as the open left it).
int readNetConfig(NetInfo *info);

// Fills one entry from one line of the file (len bytes, its line feed
// included when it has one): key before the first '=', value after it, the
// line feed dropped, both cut to their fields; a line without '=' gives the
// key alone. Reads only the len bytes given.
void netconfig_parse_line(NetEntry *entry, const char *line, size_t len);

// Replaces the file with the record's five entries. Returns 0, or -1 after
// printing "Write /etc/eth0-setting failed"; the previous file then stays whole.
// A record with an empty key (read from a missing or short file) is refused.
int writeNetConfig(NetInfo *info);

// The key of each entry as the file spells it (NET_IP .. NET_MAC).
extern const char *const NETCONFIG_KEYS[NET_ENTRIES];

// 0 when value has the form entry idx needs (an IPv4 address; for NET_MASK a
// contiguous netmask; for NET_MAC a MAC address), else -1.
int netconfig_check_value(int idx, const char *value);

// Sets entry idx's value when it fits the record (value at most 63
// characters, key and value at most 61). Returns 0, or -1 and leaves it.
int netinfo_set_value(NetInfo *info, int idx, const char *value);

// Removes what interrupted writes left beside the settings file: regular
// files named NETCONFIG_TMP_PREFIX, its name, "." and six letters or digits,
// last modified before `before`. Files named like it followed by "." and six
// letters or digits (".backup") are left alone. Prints a line for each.
// Returns how many were removed.
int removeNetConfigLeftovers(const timespec *before);

// Held around each read-modify-write of the file by the network services.
extern pthread_mutex_t netconfig_lock;
