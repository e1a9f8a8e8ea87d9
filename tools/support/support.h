// Plumbing shared by the tests, the benchmarks and the simulators: clocks,
// child processes, a pseudo-terminal standing in for the reader line, files,
// the board sandbox check and small loopback clients. No test framework here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <vector>

#include "common/mono_clock.h"

// The monotonic clock in milliseconds with a fraction; the wall clock in ms.
double now_ms();
long long realtime_ms();

// True inside scripts/board-sandbox (GW_SANDBOX=1 with /etc and /dev on
// private tmpfs mounts): only there may a program touch the device's paths.
bool in_board_sandbox();

// Path of a program built by the project (build/bin/<name>); GW_BIN_DIR
// overrides the directory.
std::string gw_bin(const std::string &name);

// Starts argv (under GW_EMULATOR for programs of the project) with standard
// error on /dev/null, standard output on a pipe (*out, its read end) and
// standard input on a pipe (*in, its write end), each on /dev/null when not
// asked for. The process id, or -1.
int gw_spawn(const std::vector<std::string> &argv, int *out = nullptr, int *in = nullptr);
// Ends a process with SIGKILL (or sig) and waits for it.
void gw_end(int pid, int sig = 9);

// A child process with its standard output (and standard error when merged)
// read line by line. Programs of the project run under GW_EMULATOR when set.
class Child
{
  public:
    Child() = default;
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    ~Child();

    // Standard input on a pipe when want_stdin, else /dev/null. Returns false
    // when the program cannot be started.
    bool start(const std::vector<std::string> &argv, bool merge_stderr = true,
               bool want_stdin = false);
    // Next complete line (without its line feed) within timeout_ms.
    bool read_line(std::string &line, int timeout_ms);
    // Reads lines until one contains needle; all lines read stay in lines().
    bool wait_for(const std::string &needle, int timeout_ms, std::string *found = nullptr);
    const std::vector<std::string> &lines() const { return lines_; }
    void drain(); // what is available now, without waiting
    bool write_stdin(const std::string &text);
    int stop(int sig = 15);        // sends sig and waits; the wait status
    int wait_exit(int timeout_ms); // wait status, -1 on time-out
    // Exit status once it ends within timeout_ms (128+N for signal N), with
    // all its output read; -1 on time-out.
    int finish(int timeout_ms);
    bool running() const { return pid_ > 0; }
    int pid() const { return pid_; }
    int output_fd() const { return out_; }

  private:
    int pid_ = -1;
    int out_ = -1;
    int in_ = -1;
    std::string buf_;
    std::vector<std::string> lines_;
    bool eof_ = false;
};

// A pseudo-terminal pair standing in for the reader line: the stand-in works
// the non-blocking master, the controller opens the slave like a serial port.
struct gw_pty {
    int master;
    int slave; // kept open so the master never sees a hang-up between openings
    char name[64];
};
// Opens a pair with the slave raw at 9600 bit/s. 0, or -1 with errno set.
int pty_open(gw_pty *p);
void pty_close(gw_pty *p);
// Makes link a symlink to target; an existing symlink is replaced, any other
// file there is left alone and is an error (reason in err).
int pty_link(const char *link, const char *target, char *err, size_t errlen);
// Removes link if it is still a symlink to target.
void pty_unlink(const char *link, const char *target);

// Files.
std::string read_file(const std::string &path);
bool write_file(const std::string &path, const std::string &content);
bool file_exists(const std::string &path); // anything at path, dangling links too
int count_entries(const std::string &dir, const std::string &prefix);
// A fresh directory under $TMPDIR (or /tmp), removed with its content by
// the destructor.
struct TempDir {
    std::string path;
    explicit TempDir(const char *prefix = "gw-test");
    ~TempDir();
};

// Loopback clients.
sockaddr_in ipv4(const char *addr, int port);
// TCP to addr:port, retried until timeout_ms; -1 when nobody accepted.
int tcp_connect(int port, int timeout_ms = 5000, const char *addr = "127.0.0.1");
bool send_all(int fd, const std::string &text);
// Reads until the peer closes, timeout_ms pass or, when whole, the text ends
// with "\n}" (the outermost closing brace of a reply).
std::string read_reply(int fd, int timeout_ms, bool whole = true);
// A listening TCP socket on 127.0.0.1 and a free port (*port).
int tcp_listen(int *port);
// A listener on 127.0.0.1 (*port) whose accept queue the connections in
// fill[] have filled: further connection attempts are dropped unanswered.
// The listener, or -1.
int tcp_full_listener(int *port, int fill[3]);

// A local datagram socket bound to path (a service manager's notify socket):
// the socket, or -1. One datagram from it within timeout_ms, "" when none.
int unix_dgram_bind(const std::string &path);
std::string unix_dgram_recv(int fd, int timeout_ms);

// UDP on addr and a port of its own, broadcasts allowed.
struct Udp {
    int fd;
    explicit Udp(const char *addr = "0.0.0.0");
    ~Udp();
    int port() const;
    bool send(const std::string &text, const char *to = "127.0.0.1", int to_port = 8000);
    // One datagram within timeout_ms, with its destination and source.
    bool recv(std::string &data, int timeout_ms, in_addr *dst = nullptr,
              sockaddr_in *from = nullptr);
};
