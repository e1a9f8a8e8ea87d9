// TCP command server on port 8001: one connection at a time, requests ended
// by 200 ms of silence, one formatted JSON reply each.
#pragma once

#include "netservice/mgmt_proto.h"

void *thread_tcpserver(void *arg);
// One select of at most timeout ms, then one recv. Bytes read, 0 on time-out
// or a closed peer, -1 when select or recv fails.
int trecv(int fd, void *buf, unsigned int len, long timeout);
// Waits for the first byte (at most tcp_idle_limit_ms), then gathers with
// trecv until len bytes, a gap of timeout ms or the peer's close. Bytes
// gathered (0: closed or silent before the first byte), -1 when the first
// wait fails, TRECVN_CUT when bytes were still coming TCP_REQUEST_LIMIT_MS
// after the first one.
enum { TRECVN_CUT = -2 };
int trecvn(int fd, void *buf, unsigned int len, long timeout);
