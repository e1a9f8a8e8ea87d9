// The service manager's watchdog and the status file. What the service
// manager sets in the environment decides what runs:
// - NOTIFY_SOCKET: "READY=1" once every thread serves;
// - WATCHDOG_USEC as well: "WATCHDOG=1" every half of it, but only while
//   every thread is running and none is stuck (health_ok);
// - RUNTIME_DIRECTORY: the status report rewritten in STATUS_FILE there
//   every STATUS_FILE_INTERVAL_MS, whole or not at all.
// Without any of them nothing is started and nothing changes.
#pragma once

enum { STATUS_FILE_INTERVAL_MS = 5000 };
extern const char STATUS_FILE[]; // "status.json"

// Reads the environment and starts the watchdog thread when there is work.
// 0, or -1 when the thread cannot be started (reported).
int watchdog_start(void);

// Sends one notification ("READY=1") as a datagram to the socket named by
// NOTIFY_SOCKET: a path, or "@" and an abstract name. 0 sent, -1 not
// (no NOTIFY_SOCKET, or the send failed).
int notify_send(const char *text);
