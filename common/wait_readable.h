// A timed wait for a readable descriptor, shared by the serial port and the
// TCP command server.
#pragma once

// Waits until fd is readable, at most timeout_ms (a negative time-out counts
// as 0). Returns select's result: 1 readable, 0 time-out, -1 failure (errno
// set, nothing printed). A descriptor that select cannot watch (negative, or
// beyond FD_SETSIZE) fails like a bad descriptor instead of writing outside
// the fd_set.
int wait_readable(int fd, long timeout_ms);
