// The real daemon on the board sandbox, with the reader simulator on
// /dev/ttymxc2 and the access-service simulator on loopback, and the small
// clients the end-to-end tests speak to it with.
#pragma once

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "tools/support/support.h"

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
        ASSERT_TRUE(b.start_reader({"--quiet-polls"}));
        ASSERT_TRUE(b.start_daemon());
    }
};

// Lines of the reboot stub's log ("reboot <CLOCK_REALTIME ms>"), once it
// holds want of them or 3 s have passed.
std::vector<std::string> reboot_lines(size_t want = 0);

// {"response":v} as the daemon prints it.
std::string reply(int v);
// {"Command":"<name>","Data":<data>}, without "Data" when data is empty.
std::string cmd(const std::string &name, const std::string &data = "");
// One request on a connection of its own, ended by closing the sending side
// (no 200 ms gap); returns everything until the daemon closes.
std::string ask(const std::string &request, int timeout_ms = 5000);

// Lines of a child that contain needle, from its output line from on.
int count_lines(const Child &c, const std::string &needle, size_t from = 0);
// The reader simulator's requests ("97 device data=030001") from line from on.
std::vector<std::string> reader_requests(const Child &reader, size_t from = 0);
