// The real daemon on the board sandbox, with the reader simulator on
// /dev/ttymxc2 and the access-service simulator on loopback, and the small
// clients the end-to-end tests speak to it with.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <vector>

#include "tests/support/process.h"

// Skips the test unless it runs inside scripts/board-sandbox: nothing here
// may touch the real /etc or /dev.
#define REQUIRE_SANDBOX()                                                                          \
    do {                                                                                           \
        if (!in_sandbox())                                                                         \
            GTEST_SKIP() << "needs scripts/board-sandbox";                                         \
    } while (0)

bool in_sandbox();

struct Board {
    Child reader, service, daemon;
    std::string netconf; // /etc/eth0-setting as the daemon found it, put back by stop()

    ~Board() { stop(); }
    // gatewarden-readersim --link /dev/ttymxc2 --baud 0 plus extra; commands on stdin.
    bool start_reader(const std::vector<std::string> &extra = {});
    // gatewarden-servicesim --port 0 plus extra; the running daemon is told its URL.
    bool start_service(const std::vector<std::string> &extra);
    // The daemon (or argv that runs it), with an empty reboot log, once its ports are bound.
    bool start_daemon(const std::vector<std::string> &argv = {});
    // Ends everything, the reader simulator politely so its link goes.
    void stop();
    // Reads what the three have written so far (keeps their pipes flowing).
    void drain() { reader.drain(), service.drain(), daemon.drain(); }
};

// The daemon with a reader that logs no idle polls.
class QuietBoard : public testing::Test
{
  protected:
    Board b;
    void SetUp() override
    {
        REQUIRE_SANDBOX();
        ASSERT_TRUE(b.start_reader({"--quiet-polls"}));
        ASSERT_TRUE(b.start_daemon());
    }
};

std::string read_file(const std::string &path);
bool write_file(const std::string &path, const std::string &text);
// Lines of the reboot stub's log ("reboot <CLOCK_REALTIME ms>"), once it
// holds want of them or 3 s have passed.
std::vector<std::string> reboot_lines(size_t want = 0);
long long realtime_ms();

// {"response":v} as the daemon prints it.
std::string reply(int v);
// {"Command":"<name>","Data":<data>}, without "Data" when data is empty.
std::string cmd(const std::string &name, const std::string &data = "");
// TCP on 127.0.0.1:8001.
int tcp_connect(int timeout_ms = 5000);
bool send_all(int fd, const std::string &text);
// Reads until the peer closes, timeout_ms pass or, when whole, the text ends
// with the outermost closing brace of a reply.
std::string read_reply(int fd, int timeout_ms, bool whole = true);
// One request on a connection of its own, ended by closing the sending side
// (no 200 ms gap); returns everything until the daemon closes.
std::string ask(const std::string &request, int timeout_ms = 5000);

// UDP on addr and a port of its own, broadcasts allowed.
struct Udp {
    int fd;
    explicit Udp(const char *addr = "0.0.0.0");
    ~Udp();
    std::string port() const;
    bool send(const std::string &text, const char *to = "127.0.0.1", int port = 8000);
    // One datagram within timeout_ms, with its destination and source addresses.
    bool recv(std::string &data, int timeout_ms, in_addr *dst = nullptr,
              sockaddr_in *from = nullptr);
};

// Lines of a child that contain needle, from its output line from on.
int count_lines(const Child &c, const std::string &needle, size_t from = 0);
// The reader simulator's requests ("97 device data=030001") from line from on.
std::vector<std::string> reader_requests(const Child &reader, size_t from = 0);
