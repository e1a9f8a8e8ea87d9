// gatewardenctl --all against a serial loop, on N fake controllers on
// loopback addresses (see CMakeLists.txt).
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/wait_readable.h"
#include "netservice/mgmt_proto.h"
#include "tools/support/support.h"

namespace
{

const char REPLY[] =
    "{\n\t\"response\":\t1,\n\t\"Data\":\t{\n\t\t\"devAddr\":\t7,\n\t\t\"tRelay\":\t"
    "10,\n\t\t\"tLight\":\t20,\n\t\t\"tBuzzer\":\t30,\n\t\t\"Status\":\t1\n\t}\n}";

std::string address(int k)
{
    return "127.0.0." + std::to_string(k + 2);
}

// One controller: a connection at a time, a request ends at TCP_GAP_MS of
// silence, the reader's exchange takes reader_ms, one reply per request.
void serve(int lfd, int reader_ms)
{
    for (;;) {
        int fd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return;
        char buf[1024];
        while (wait_readable(fd, 60000) > 0 && recv(fd, buf, sizeof buf, 0) > 0) {
            while (wait_readable(fd, TCP_GAP_MS) > 0 && recv(fd, buf, sizeof buf, 0) > 0)
                ;
            usleep(static_cast<useconds_t>(reader_ms) * 1000);
            send(fd, REPLY, strlen(REPLY), MSG_NOSIGNAL);
        }
        close(fd);
    }
}

// Answers every search on 127.0.0.1:port from each controller's address.
void answer_searches(int port, int boards)
{
    Udp own("127.0.0.1");
    close(own.fd);
    own.fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = ipv4("127.0.0.1", port);
    if (bind(own.fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0)
        return;
    std::list<Udp> from;
    for (int k = 0; k < boards; k++)
        from.emplace_back(address(k).c_str());
    for (std::string req;;) {
        sockaddr_in tool = {};
        if (own.recv(req, 600000, nullptr, &tool))
            for (Udp &u : from)
                u.send(SEARCH_ANSWER, "127.0.0.1", ntohs(tool.sin_port));
    }
}

double run(const std::string &command)
{
    double t0 = now_ms();
    int st = system(command.c_str());
    if (st != 0 && !(WIFEXITED(st) && WEXITSTATUS(st) == 0))
        fprintf(stderr, "bench-fleet: '%s' ended with %d\n", command.c_str(), st);
    return now_ms() - t0;
}

} // namespace

int main(int argc, char **argv)
{
    int boards = 50, reader_ms = 30;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--boards") == 0)
            boards = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--reader-ms") == 0)
            reader_ms = atoi(argv[i + 1]);
    }
    if (boards < 1 || boards > 200) {
        fprintf(stderr, "usage: gatewarden-bench-fleet [--boards 1..200] [--reader-ms MS]\n");
        return 2;
    }
    int port = 0;
    for (int k = 0; k < boards; k++) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa = ipv4(address(k).c_str(), port);
        socklen_t len = sizeof sa;
        if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(fd, 10) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
            perror("bench-fleet: listen");
            return 1;
        }
        port = ntohs(sa.sin_port);
        std::thread(serve, fd, reader_ms).detach();
    }
    std::thread(answer_searches, port, boards).detach();
    usleep(100000);

    std::string ctl = gw_bin("gatewardenctl") + " -p " + std::to_string(port);
    std::string loop = "for h in";
    for (int k = 0; k < boards; k++)
        loop += " " + address(k);
    loop += "; do " + ctl + " -H $h reader get >/dev/null || exit 1; done";
    // The search listens for its whole time-out: 1 s here, given with -t.
    double all =
        run(ctl + " -t 1000 --all=127.0.0.1:" + std::to_string(port) + " reader get >/dev/null");
    double serial = run(loop);
    printf("%d controllers (fake, 127.0.0.2-%d, reader %d ms):\n"
           "  gatewardenctl --all reader get   %7.0f ms (a 1000 ms search included)\n"
           "  serial shell loop, -H each       %7.0f ms\n",
           boards, boards + 1, reader_ms, all, serial);
    return 0;
}
