// The real daemon on the board sandbox, with the reader simulator on
// /dev/ttymxc2 and the access-service simulator on loopback, and the small
// clients the end-to-end tests speak to it with.
#pragma once

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
    std::string url; // the service simulator's endpoint

    ~Board();
    // gatewarden-readersim --link /dev/ttymxc2 plus extra; commands on stdin.
    bool start_reader(const std::vector<std::string> &extra = {});
    // gatewarden-servicesim --port 0 plus extra; url is set and stored in
    // /etc/reader.db when store_url.
    bool start_service(const std::vector<std::string> &extra = {}, bool store_url = true);
    // The daemon, once its UDP and TCP ports are bound.
    bool start_daemon();
    // Ends everything, the reader simulator politely so its link goes.
    void stop();
    // Reads what the three have written so far (keeps their pipes flowing).
    void drain();
};

// /etc/reader.db, row 1.
bool db_exec(const std::string &sql);
std::string db_url();
int db_dev_addr();

std::string read_file(const std::string &path);
bool write_file(const std::string &path, const std::string &text);
std::vector<std::string> reboot_lines();
long long realtime_ms();

bool starts_with(const std::string &s, const std::string &prefix);

// {"response":v} as the daemon prints it.
std::string reply(int v);

// TCP on 127.0.0.1:8001.
int tcp_connect(int timeout_ms = 5000);
bool send_all(int fd, const std::string &text);
// Reads one reply: until the text ends with the outermost closing brace, the
// peer closes, or timeout_ms pass.
std::string read_reply(int fd, int timeout_ms);
// One request on a connection of its own, ended by closing the sending side
// (no 200 ms gap); returns everything until the daemon closes.
std::string ask(const std::string &request, int timeout_ms = 5000);

// UDP on a port of its own (bound to 0.0.0.0, broadcasts allowed).
int udp_open(int *port);
bool udp_send(int fd, const std::string &text, const char *to = "127.0.0.1", int port = 8000);
// One datagram within timeout_ms, with its destination address.
bool udp_recv(int fd, std::string &data, int timeout_ms, in_addr *dst = nullptr,
              sockaddr_in *from = nullptr);

// Lines of a child that contain needle, among those read so far.
int count_lines(const Child &c, const std::string &needle);
// Lines of the reader simulator for requests ("rx 97 device data=030001").
std::vector<std::string> reader_requests(const Child &reader);
// Number of descriptors the process has open.
int open_fds(int pid);
