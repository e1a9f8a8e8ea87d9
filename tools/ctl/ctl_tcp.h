// One request and its reply on the controller's TCP command port.
#pragma once

#include <stddef.h>

// Connects to the controller (g_ctl.host, g_ctl.port or 8001), sends the
// request text in one piece, and reads until the reply's outermost object has
// closed, all within g_ctl.timeout_ms (or the default). The controller ends a
// request at 200 ms of silence, so nothing else is sent; the connection is
// closed after the reply.
// CTL_OK: *reply holds the reply (malloc'd, NUL-terminated, *len bytes).
// CTL_USAGE: the request is longer than the controller reads (reported).
// CTL_NOANSWER: no complete reply (reported, with what to try).
int tcp_exchange(const char *request, char **reply, size_t *len);
