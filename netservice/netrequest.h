// Pieces shared by the UDP and TCP management services, and the entry
// points through which tests and fuzzers reach the request handlers on a
// plain byte buffer.
#pragma once

#include <cjson/cJSON.h>

#include "netservice/commands.h"
#include "netservice/mgmt_proto.h"
#include "settings/netconfig.h"

// Request codes. The six reader commands use their slot codes (144..151).
enum {
    REQ_UNKNOWN = 0,
    REQ_SET_NET_CONF = 16,
    REQ_GET_NET_CONF = 17,
    REQ_SET_URL_ADDR = 18,
    REQ_GET_URL_ADDR = 19,
    REQ_GET_STATUS = 20,
    REQ_SEARCH_READER = 32,
};

enum {
    REBOOT_PAUSE_US = 50000,     // between the last word of a network change and the reboot
    TCP_IDLE_LIMIT_MS = 300000,  // a connection silent this long is closed
    TCP_REQUEST_LIMIT_MS = 2000, // a request not whole this long after its first byte: closed
    TCP_YIELD_SILENT_MS = 500,   // while another client waits: silence allowed before a request
    TCP_YIELD_TURN_MS = 3000,    // ... and time kept from when the wait began, then closed
    TCP_SEND_TIMEOUT_S = 5,      // a reply that cannot leave within this is dropped
};

// JSON members of the network settings, in the order of the file's entries.
extern const char *const NET_MEMBERS[NET_ENTRIES];

// The idle limit in force (TCP_IDLE_LIMIT_MS; tests shorten it).
extern long tcp_idle_limit_ms;

// What one request leaves for its reply.
struct mgmt_result {
    const mgmt_command *cmd; // null: no command of this service, or not a request at all
    int outcome;             // 0 success
    cJSON *data;             // REPLY_DATA's "Data" after a success (the reply frees it)
};

// Carries out one request text received by service (from peer: null when
// from no socket) and returns its request code (REQ_UNKNOWN when it names no
// command of that service), with what its reply needs in *res. Only the
// first JSON value of the text counts.
int mgmt_handle(char *text, int service, const in_addr *peer, mgmt_result *res);

// Parses a request text (only its first JSON value counts). Returns the tree,
// to be freed with cJSON_Delete, with *command its "Command" string and *data
// its "Data" member (null when absent); keys are found regardless of case.
// Returns null when the text is not an object with a string "Command".
cJSON *request_parse(const char *text, const char **command, cJSON **data);

// A member read as a number: its int value (truncated toward zero), 1 for
// true, 0 for any other kind. Returns -1 when obj is not an object or has no
// such member, else 0.
int request_int(const cJSON *obj, const char *key, int *value);

// A member read as a string: null when obj is not an object, or the member is
// missing or not a string.
const char *request_string(const cJSON *obj, const char *key);

// Network change of /etc/eth0-setting from data, an object with the strings
// "IP", "Mask", "Gateway", "DNS", "MAC" (empty ones keep the current value).
// With old_ip, the change applies only when it equals the current IP address.
// A file with fewer than five lines, or lines without a key, is mended: the
// entries it lacks get the names the provisioning gives them and must be
// given values; without old_ip a missing file is written anew. The whole
// read-modify-write holds netconfig_lock. Returns writeNetConfig's result,
// or -1 with nothing written when a member is missing or not a string, a
// given value is not an IPv4 address (a netmask with contiguous ones for
// "Mask", a MAC address for "MAC"), a lacking entry has no value, the file
// cannot be read, or old_ip does not match; why is printed.
int net_change(const cJSON *data, const char *old_ip);

// Waits REBOOT_PAUSE_US, then reboots the device.
void reboot_device(void);
