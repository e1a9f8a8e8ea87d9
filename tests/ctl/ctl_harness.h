// Test harness of gatewardenctl: runs the tool and plays the controller on
// loopback (a real TCP listener with the controller's 200 ms request framing).
#pragma once

#include <functional>
#include <unistd.h>

#include "common/wait_readable.h"

#include "tests/e2e/board.h"

struct CtlResult {
    int status = -1; // exit status, -1 when it did not exit normally
    std::string out, err;
    double ms = 0; // run time
};

// Runs gatewardenctl with the words of args; during (if any) plays its peer.
CtlResult run_ctl(const std::string &args, const std::function<void()> &during = nullptr);

// What the fake controller does with one connection.
struct FakeAnswer {
    std::vector<std::string> chunks; // reply, sent in pieces (none: silence)
    int gap_ms = 0;                  // pause between pieces
    bool hang_up = false;            // close right after the chunks
};

class FakeController
{
  public:
    FakeController() : fd_(tcp_listen(&port_)) {}
    ~FakeController() { close(fd_); }
    int port() const { return port_; }
    // Runs the tool with -p <port> and args, and serves one connection per
    // answer; the requests, each up to the first 200 ms of silence, go to requests.
    CtlResult run(const std::string &args, const std::vector<FakeAnswer> &answers);
    bool pending() const { return wait_readable(fd_, 0) > 0; } // a connection waits
    std::vector<std::string> requests;

  private:
    std::string serve(const FakeAnswer &answer);
    int port_ = 0;
    int fd_ = -1;
};
