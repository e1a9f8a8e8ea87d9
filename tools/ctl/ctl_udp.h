// The UDP side of the controller: search datagrams and network set-up.
#pragma once

#include <netinet/in.h>

// Where a UDP request goes: the address given with --to (a name or IPv4
// address), else the broadcast address of the interface given with
// --interface, else 255.255.255.255; the port is g_ctl.port or 8000.
// CTL_OK, or CTL_USAGE / CTL_NOANSWER (reported).
int udp_destination(const char *to, const char *ifname, struct sockaddr_in *dst);

// A UDP socket allowed to broadcast, bound to a port of its own that the
// controllers answer to. The socket, or -1 (reported).
int udp_open(void);

// Sends text as one datagram. 0, or -1 (reported with what to try).
int udp_send(int fd, const char *text, const struct sockaddr_in *dst);

// Receives one datagram before the deadline (CLOCK_MONOTONIC ms): its
// length (at most cap - 1, NUL-terminated), 0 when the deadline passed,
// -1 on failure (reported).
long udp_receive(int fd, char *buf, unsigned long cap, struct sockaddr_in *from, long deadline);

long udp_now_ms(void);
