// Keeps a write to a connection that the peer has closed from ending the
// process, whatever the process does with SIGPIPE. Plain sockets are written
// with MSG_NOSIGNAL; TLS records go out through OpenSSL's socket BIO, which
// cannot be given that flag, so the calling thread blocks SIGPIPE around the
// call and discards a SIGPIPE that the call raised meanwhile.
#pragma once

#include <signal.h>

struct sigpipe_guard {
    sigset_t old_mask;
    int was_pending; // a SIGPIPE was pending before: it is not ours to discard
};

// Blocks SIGPIPE on the calling thread.
void sigpipe_block(struct sigpipe_guard *guard);

// Discards a SIGPIPE raised since sigpipe_block and restores the thread's mask.
void sigpipe_restore(const struct sigpipe_guard *guard);
