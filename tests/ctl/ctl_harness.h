// Test harness of gatewardenctl: runs the tool and plays the controller on
// loopback (a real TCP listener with the controller's 200 ms request framing,
// and a UDP responder).
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct CtlResult {
    int status = -1; // exit status, -1 when it did not exit normally
    std::string out, err;
    double ms = 0; // run time
};

// Runs build/bin/gatewardenctl with args; kills it after limit_ms.
CtlResult run_ctl(const std::vector<std::string> &args, int limit_ms = 20000);

// What the fake controller does with one connection.
struct FakeAnswer {
    std::vector<std::string> chunks; // reply, sent in pieces
    int gap_ms = 0;                  // pause between pieces
    bool silent = false;             // read the request, never answer
    bool hang_up = false;            // close right after the chunks (none: without answering)
};

// What it saw on one connection.
struct FakeSeen {
    std::string request;         // bytes up to the first 200 ms of silence
    bool eof_in_request = false; // the client closed before the silence
    bool client_closed = false;  // the client closed after the reply
};

class FakeController
{
  public:
    FakeController();
    ~FakeController();
    int port() const { return port_; }
    // Answers for the next connections, in order; a connection beyond them
    // is answered {"response":1}.
    void script(std::vector<FakeAnswer> answers);
    // The connections finished so far, waiting up to 5 s for at least want.
    std::vector<FakeSeen> seen(size_t want = 0);
    int connections() const { return connections_.load(); }

  private:
    void serve();
    int listen_fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::mutex mu_;
    std::vector<FakeAnswer> answers_;
    std::vector<FakeSeen> seen_;
    std::thread thread_;
};

// The reply of the controller to a plain command, as its formatted printer
// writes it: "{\n\t\"response\":\t1\n}".
std::string plain_reply(int value);
