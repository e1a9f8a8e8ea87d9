// The pseudo-terminal pair: the simulator works the master side, the
// controller opens the slave like a serial device.
#pragma once

#include <cstddef>

struct sim_pty {
    int master; // non-blocking
    int slave;  // kept open so the master never sees a hang-up between controllers
    char name[64];
};

// Opens a pair with the slave in raw mode at 9600 bit/s. Returns 0, or -1
// with errno set.
int pty_open(sim_pty *p);

// Makes link a symlink to target. An existing symlink at link is replaced;
// any other file there is left alone and is an error. Returns 0, or -1 with
// a reason in err.
int pty_link(const char *link, const char *target, char *err, size_t errlen);

// Removes link if it is still a symlink to target.
void pty_unlink(const char *link, const char *target);
