#include "access/sigpipe_guard.h"

#include <ctime>
#include <pthread.h>

namespace
{

int sigpipe_pending()
{
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    return sigismember(&pending, SIGPIPE) == 1;
}

} // namespace

void sigpipe_block(sigpipe_guard *guard)
{
    sigset_t pipe_only;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_only, &guard->old_mask);
    guard->was_pending = sigpipe_pending();
}

void sigpipe_restore(const sigpipe_guard *guard)
{
    if (!guard->was_pending && sigpipe_pending()) {
        sigset_t pipe_only;
        sigemptyset(&pipe_only);
        sigaddset(&pipe_only, SIGPIPE);
        timespec now = {0, 0};
        sigtimedwait(&pipe_only, nullptr, &now);
    }
    pthread_sigmask(SIG_SETMASK, &guard->old_mask, nullptr);
}
