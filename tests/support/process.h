// Child processes for the tests: the simulators and the daemon, with their
// standard output captured line by line.
#pragma once

#include <string>
#include <vector>

// Path of a program built by the project (build/bin/<name>); GW_BIN_DIR
// overrides the directory.
std::string gw_bin(const std::string &name);

class Child {
  public:
    Child() = default;
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    ~Child();

    // Starts argv[0] with its arguments, standard output (and standard error
    // when merge_stderr) on a pipe, standard input on a pipe when want_stdin.
    // Programs of the project run under GW_EMULATOR when that is set.
    // Returns false when the program cannot be started.
    bool start(const std::vector<std::string> &argv, bool merge_stderr = true,
               bool want_stdin = false);

    // Next complete output line (without its line feed), waiting at most
    // timeout_ms. False on time-out or end of output.
    bool read_line(std::string &line, int timeout_ms);
    // Reads lines until one contains needle; true when found in time. All
    // lines read are kept in lines().
    bool wait_for(const std::string &needle, int timeout_ms, std::string *found = nullptr);
    // Everything read so far, line by line.
    const std::vector<std::string> &lines() const { return lines_; }
    // Drains what is available now without waiting.
    void drain();

    bool write_stdin(const std::string &text);
    // Sends sig and waits for the child; returns its wait status.
    int stop(int sig = 15);
    // Waits for the child to end on its own, at most timeout_ms; -1 on time-out.
    int wait_exit(int timeout_ms);
    bool running() const { return pid_ > 0; }
    int pid() const { return pid_; }

  private:
    int pid_ = -1;
    int out_ = -1;
    int in_ = -1;
    std::string buf_;
    std::vector<std::string> lines_;
    bool eof_ = false;
};

// Milliseconds on the monotonic clock.
double now_ms();
