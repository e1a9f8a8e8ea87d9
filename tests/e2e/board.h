// The real daemon in the board sandbox, with the reader simulator on
// /dev/ttymxc2 and the access-service simulator on loopback, and the small
// clients the end-to-end tests speak to it with.
#pragma once

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "tools/support/support.h"

const char NETCONF[] = "/etc/eth0-setting";
const std::string SEARCH = R"({"Command":"CMD_SearchReader","Data":"TcpReader Request"})";

struct Board {
    Child reader, service, daemon;
    std::string netconf; // /etc/eth0-setting as the daemon found it, put back by stop()

    ~Board() { stop(); }
    // The reader simulator on /dev/ttymxc2 (commands on stdin), the service
    // simulator on a free port (the running daemon is told its URL), the
    // daemon (or argv running it) with an empty reboot log once its ports are bound.
    bool start_reader(const std::vector<std::string> &extra = {});
    bool start_service(const std::vector<std::string> &extra);
    bool start_daemon(const std::vector<std::string> &argv = {});
    void stop(); // the reader simulator politely, so that its link goes
    // Reads what the three have written so far (keeps their pipes flowing).
    void drain() { reader.drain(), service.drain(), daemon.drain(); }
    // drain(), then the reader simulator's line count: a mark to look from.
    size_t mark() { return drain(), reader.lines().size(); }
    // Arms a reader fault ("status=05,cmd=93") and waits until it is armed.
    bool fault(const std::string &f)
    {
        return reader.write_stdin("fault " + f + "\n") && reader.wait_for("fault armed", 3000);
    }
    bool card(const std::string &id) { return reader.write_stdin("card " + id + "\n"); }
};

// The daemon with a reader that logs no idle polls (and a service when given).
class QuietBoard : public testing::Test
{
  protected:
    Board b;
    std::vector<std::string> service;
    void SetUp() override
    {
        ASSERT_TRUE(b.start_reader({"--quiet-polls"}) && b.start_daemon());
        ASSERT_TRUE(service.empty() || b.start_service(service));
    }
};

// Lines of the reboot stub's log ("reboot <CLOCK_REALTIME ms>") once there
// are want of them or 3 s have passed.
std::vector<std::string> reboot_lines(size_t want = 0);
std::string reply(int v); // {"response":v} as the daemon prints it
// {"Command":"<name>","Data":<data>}, without "Data" when data is empty.
std::string cmd(const std::string &name, const std::string &data = "");
// One request on a connection of its own (from src to the sandbox's own
// 192.0.2.10 when given), ended by closing the sending side (no 200 ms gap);
// everything until the daemon closes ("": closed before the request went).
std::string ask(const std::string &request, int timeout_ms = 5000, const char *src = nullptr);
// Lines of a child from line from on: those that contain needle; the reader
// simulator's requests ("97 device data=030001").
int count_lines(const Child &c, const std::string &needle, size_t from = 0);
std::vector<std::string> reader_requests(const Child &reader, size_t from = 0);
