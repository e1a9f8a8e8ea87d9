// Output lines of the daemon: the syslog level in front of each line when a
// stream is the journal, a limiter for failures that repeat, and URLs printed
// without their user information.
#pragma once

#include <pthread.h>
#include <stddef.h>
#include <string>
#include <syslog.h> // LOG_ERR, LOG_WARNING, LOG_INFO

// Looks whether standard output and standard error are the journal's stream
// (systemd sets JOURNAL_STREAM to "device:inode" of it). Each that is gets
// "<level>" in front of every line from then on: a line of log_line or of a
// limiter has its own level, any other line LOG_INFO on standard output and
// LOG_ERR on standard error; all lines of one print call take the level of
// its first. A stream that is a terminal, a pipe or a file stays byte for
// byte as it is. Call once, before any output and before other threads start.
void log_init(void);

// One line on standard output at level; the line end is added.
void log_line(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// The same without the line end: for a last word before the process ends.
void log_text(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

enum log_stream { LOG_STDOUT, LOG_STDERR };
enum { LOG_FLOOD_INTERVAL_MS = 60000 }; // at most one summary line this often

// A condition that may repeat for ever (a reader that does not answer, a
// device node that is no terminal). Define one per place that reports it,
// with LOG_FLOOD_INIT, and tell it at every check whether the condition
// holds; see log_flood_state.
struct log_flood {
    int level;             // of the line and of its summaries
    log_stream stream;     // where they go; the end line goes to standard output
    const char *name;      // names the condition in the summaries and the end line
    pthread_mutex_t lock;  // the fields below
    bool holds;            // the condition held at the last check
    unsigned long total;   // times it held since it began
    unsigned long unshown; // times since the last line printed
    long long last_ms;     // monotonic time of that line
};
#define LOG_FLOOD_INIT(level, stream, name)                                                        \
    {                                                                                              \
        (level), (stream), (name), PTHREAD_MUTEX_INITIALIZER, false, 0, 0, 0                       \
    }

// The summary interval in force (LOG_FLOOD_INTERVAL_MS; tests shorten it).
extern long log_flood_interval_ms;

// The first check on which the condition holds prints the line fmt...; the
// following ones are counted, and at most once per interval a summary
// "<name>: <count> more times in <s> s" is printed; the first check on which
// it no longer holds prints "<name>: ended, <total> times in all" (LOG_INFO).
// fmt is used only when holds is true.
void log_flood_state(log_flood *f, bool holds, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

// One-line use for a fixed text on standard output:
//     LOG_FLOOD(got == 0, LOG_WARNING, "recv data timeout");
// at the place where the condition is checked, in place of the print.
#define LOG_FLOOD(holds, level, text)                                                              \
    do {                                                                                           \
        static log_flood flood_ = LOG_FLOOD_INIT(level, LOG_STDOUT, text);                         \
        log_flood_state(&flood_, (holds), "%s", text);                                             \
    } while (0)

// text with the user information of every URL in it ("scheme://user:pw@")
// replaced by "***". JSON's escapes "\/" and "\u00XX" are understood, so a
// request text can be masked as it arrived; nothing else changes.
std::string log_mask_urls(const char *text);
