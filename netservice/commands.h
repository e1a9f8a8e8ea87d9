// The management commands of both services in one table: a command's name,
// request code, the services that take it, its handler and its reply kind.
// A new command is one row of MGMT_COMMANDS and its handler.
#pragma once

#include <cjson/cJSON.h>
#include <cstddef>
#include <netinet/in.h>

enum mgmt_service { MGMT_TCP = 1, MGMT_UDP = 2 };

enum reply_kind {
    REPLY_RESULT, // TCP: {"response":1} on success, else {"response":0}
    REPLY_DATA,   // TCP: {"response":1,"Data":<the handler's data>} on success, else as above
    REPLY_REBOOT, // TCP: as REPLY_RESULT; after a success the device reboots (UDP: only that)
    REPLY_SEARCH, // UDP: the search answer, broadcast to the searcher's port on success
};

// One request as its handler sees it.
struct mgmt_request {
    int code;            // the command's request code
    int service;         // MGMT_TCP or MGMT_UDP
    const cJSON *data;   // the request's "Data", null when absent
    const in_addr *peer; // the sender (null: from no socket)
};

struct mgmt_command {
    const char *name; // "Command", matched exactly
    int code;         // request code (netrequest.h); the reader commands' slot codes
    int services;     // MGMT_TCP, MGMT_UDP or both
    reply_kind reply;
    // Carries the request out. Returns the outcome, 0 for success; a
    // REPLY_DATA handler that succeeds leaves the reply's "Data" in *data.
    int (*handler)(const mgmt_request *req, cJSON **data);
};

extern const mgmt_command MGMT_COMMANDS[];
extern const size_t MGMT_COMMAND_COUNT;

// The row of name for service, or null.
const mgmt_command *mgmt_find(const char *name, int service);
