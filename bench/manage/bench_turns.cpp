// The wait of "gatewardenctl url get" for its turn on TCP 8001 while one
// session trickles a byte a second, and while ten connections ahead of it
// stay silent. Runs only inside scripts/board-sandbox; DAEMON (default the
// built gatewarden) lets the figures of another build be taken.
#include <atomic>
#include <cstdio>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tools/support/support.h"

namespace
{

const int LIMIT_S = 60; // the tool's time-out: a longer wait counts as this

// Seconds until "gatewardenctl url get" has its answer, while hold() keeps
// the connections it opened busy.
double url_get_wait(int connections, bool trickle)
{
    std::vector<int> fds;
    for (int i = 0; i < connections; i++)
        fds.push_back(tcp_connect(8001));
    std::atomic<bool> done{false};
    std::thread t([&] {
        for (int i = 0; trickle && !done && i < LIMIT_S + 5; i++) {
            send(fds[0], "x", 1, MSG_NOSIGNAL);
            for (int k = 0; k < 10 && !done; k++)
                usleep(100000);
        }
    });
    usleep(300000);
    double t0 = now_ms();
    int pid =
        gw_spawn({gw_bin("gatewardenctl"), "-t", std::to_string(LIMIT_S * 1000), "url", "get"});
    int st = 0;
    waitpid(pid, &st, 0);
    double s = (now_ms() - t0) / 1000.0;
    done = true;
    t.join();
    for (int fd : fds)
        close(fd);
    sleep(1); // the daemon closes what is left
    return WIFEXITED(st) && WEXITSTATUS(st) == 0 ? s : -s;
}

} // namespace

int main(int argc, char **argv)
{
    if (!in_board_sandbox()) {
        fprintf(stderr, "run me inside scripts/board-sandbox\n");
        return 77;
    }
    int daemon = gw_spawn({argc > 1 ? argv[1] : gw_bin("gatewarden")});
    close(tcp_connect(8001, 15000));
    sleep(1);
    printf("url get alone: %.2f s\n", url_get_wait(0, false));
    printf("url get behind a session sending a byte a second: %.2f s\n", url_get_wait(1, true));
    printf("url get behind ten silent connections: %.2f s\n", url_get_wait(10, false));
    printf("(a negative figure: no answer within the %d s time-out)\n", LIMIT_S);
    gw_end(daemon);
    return 0;
}
