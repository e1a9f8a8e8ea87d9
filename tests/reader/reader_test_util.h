// Helpers of the reader link tests: byte arrays as hex, captured standard
// output and error, a pseudo-terminal that the test works itself, and the
// reader simulator on the controller's port.
#pragma once

#include <string>
#include <vector>

#include "tests/support/process.h"

using bytes = std::vector<unsigned char>;

// "AA 00 00 01 95 94 BB"
std::string hex(const bytes &b);
std::string hex(const unsigned char *p, int n);

// Captures what the process writes on fd 1 or fd 2 (stdio flushed) between
// construction and text().
class Capture
{
  public:
    explicit Capture(int fd);
    ~Capture();
    Capture(const Capture &) = delete;
    Capture &operator=(const Capture &) = delete;
    std::string text(); // ends the capture (once), returns what was written

  private:
    int fd_, saved_, file_;
    std::string text_;
    bool done_ = false;
};

// A pseudo-terminal pair: the test plays the reader module on master, the
// code under test uses slave (configured with set_port 9600 8N1, or raw).
struct TestPty {
    int master = -1;
    int slave = -1;
    std::string name;
    bool open(bool configure = true);
    ~TestPty();
    // Queues bytes for the slave and waits until all of them can be read
    // there, so the code under test finds them in one piece.
    void feed(const bytes &b);
    // Everything the slave side has written so far (waits up to wait_ms for
    // the first byte).
    bytes drain(int wait_ms = 0);
    // One request frame written on the slave side: reads until the length
    // byte's frame is complete (at most wait_ms for each piece).
    bytes request(int wait_ms = 1000);
};

// Bytes queued for reading on fd.
int queued(int fd);

// The reader simulator behind the controller's port: starts it with args,
// opens and configures the printed pty into fd1 (restored on destruction).
struct SimPort {
    Child sim;
    std::string pty;
    int saved_fd1 = -1;
    int fd = -1;
    // False (with the reason in why) when the simulator or the port fails.
    // Without with_stdin the simulator's standard input is /dev/null.
    bool start(const std::vector<std::string> &args, std::string *why, bool with_stdin = true);
    ~SimPort();
    // Sends a standard-input command and waits for the simulator's line
    // confirming it.
    bool command(const std::string &line, const std::string &confirm);
};

// A frame as the module sends it.
bytes reply_frame(unsigned char st, const bytes &data);
