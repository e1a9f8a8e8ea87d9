// Output lines of the daemon. A stream that is the journal is replaced by a
// stream of our own whose every write puts the level in front of each line
// start and goes out in one write(2), so lines of several threads never mix.
#include "common/log.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "common/mono_clock.h"

long log_flood_interval_ms = LOG_FLOOD_INTERVAL_MS;

namespace
{

struct journal_stream {
    int fd;
    int default_level;
    bool at_line_start;
};

journal_stream journal_out = {STDOUT_FILENO, LOG_INFO, true};
journal_stream journal_err = {STDERR_FILENO, LOG_ERR, true};

// Level of the line being printed by log_line or a limiter on this thread, or -1.
thread_local int line_level = -1;

bool is_journal(int fd, const char *stream)
{
    unsigned long long dev, ino;
    char end;
    struct stat st;
    if (!stream || sscanf(stream, "%llu:%llu%c", &dev, &ino, &end) != 2)
        return false;
    return fstat(fd, &st) == 0 && st.st_dev == dev && st.st_ino == ino;
}

ssize_t journal_write(void *cookie, const char *buf, size_t size)
{
    journal_stream *js = static_cast<journal_stream *>(cookie);
    std::string out;
    out.reserve(size + 8);
    int level = -1;
    for (size_t i = 0; i < size;) {
        if (js->at_line_start) {
            if (level < 0)
                level = line_level >= 0 ? line_level : js->default_level;
            out += '<';
            out += static_cast<char>('0' + (level & 7));
            out += '>';
        }
        const char *nl = static_cast<const char *>(memchr(buf + i, '\n', size - i));
        size_t n = nl ? static_cast<size_t>(nl - (buf + i)) + 1 : size - i;
        out.append(buf + i, n);
        js->at_line_start = nl != nullptr;
        i += n;
    }
    for (size_t done = 0; done < out.size();) {
        ssize_t w = write(js->fd, out.data() + done, out.size() - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return -1;
        done += static_cast<size_t>(w);
    }
    return static_cast<ssize_t>(size);
}

void wrap(FILE **stream, journal_stream *js, int mode)
{
    cookie_io_functions_t io = {nullptr, journal_write, nullptr, nullptr};
    FILE *f = fopencookie(js, "w", io);
    if (!f)
        return;
    fflush(*stream);
    setvbuf(f, nullptr, mode, 0);
    *stream = f;
}

// Text on stream at level, the line end added when end.
void vtext(log_stream stream, int level, bool end, const char *fmt, va_list ap)
    __attribute__((format(printf, 4, 0)));
void vtext(log_stream stream, int level, bool end, const char *fmt, va_list ap)
{
    FILE *f = stream == LOG_STDERR ? stderr : stdout;
    flockfile(f);
    line_level = level;
    vfprintf(f, fmt, ap);
    if (end)
        fputc('\n', f);
    fflush(f);
    line_level = -1;
    funlockfile(f);
}

void line(log_stream stream, int level, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void line(log_stream stream, int level, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vtext(stream, level, true, fmt, ap);
    va_end(ap);
}

// The character that text spells at p, and in *len how many bytes spell it:
// JSON's "\/" and "\u00XX" are read as the characters they stand for.
char spelled(const char *p, size_t *len)
{
    *len = 1;
    if (p[0] != '\\')
        return p[0];
    if (p[1] == '/') {
        *len = 2;
        return '/';
    }
    if (p[1] == 'u' && p[2] == '0' && p[3] == '0' && isxdigit((unsigned char)p[4]) &&
        isxdigit((unsigned char)p[5]) && p[4] < '8') {
        *len = 6;
        char hex[3] = {p[4], p[5], '\0'};
        return static_cast<char>(strtol(hex, nullptr, 16));
    }
    return p[0];
}

// Ends the authority of a URL: the start of its path, query or fragment, or a
// character that no URL holds.
bool ends_authority(char c)
{
    return c == '\0' || c == '/' || c == '?' || c == '#' || c == '"' || c == '\\' ||
           static_cast<unsigned char>(c) <= ' ';
}

} // namespace

void log_init(void)
{
    const char *stream = getenv("JOURNAL_STREAM");
    if (is_journal(STDOUT_FILENO, stream))
        wrap(&stdout, &journal_out, _IOLBF);
    if (is_journal(STDERR_FILENO, stream))
        wrap(&stderr, &journal_err, _IONBF);
}

void log_line(int level, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vtext(LOG_STDOUT, level, true, fmt, ap);
    va_end(ap);
}

void log_text(int level, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vtext(LOG_STDOUT, level, false, fmt, ap);
    va_end(ap);
}

void log_flood_state(log_flood *f, bool holds, const char *fmt, ...)
{
    pthread_mutex_lock(&f->lock);
    if (!holds) {
        if (f->holds)
            line(LOG_STDOUT, LOG_INFO, "%s: ended, %lu time%s in all", f->name, f->total,
                 f->total == 1 ? "" : "s");
        f->holds = false;
    } else if (!f->holds) {
        f->holds = true;
        f->total = 1;
        f->unshown = 0;
        f->last_ms = mono_ms();
        va_list ap;
        va_start(ap, fmt);
        vtext(f->stream, f->level, true, fmt, ap);
        va_end(ap);
    } else {
        f->total++;
        f->unshown++;
        long long now = mono_ms();
        if (now - f->last_ms >= log_flood_interval_ms) {
            line(f->stream, f->level, "%s: %lu more time%s in %lld s", f->name, f->unshown,
                 f->unshown == 1 ? "" : "s", (now - f->last_ms) / 1000);
            f->unshown = 0;
            f->last_ms = now;
        }
    }
    pthread_mutex_unlock(&f->lock);
}

std::string log_mask_urls(const char *text)
{
    std::string out;
    const char *p = text;
    while (*p) {
        // A scheme's "://", perhaps spelled with escapes.
        size_t a, b, c;
        if (spelled(p, &a) != ':' || spelled(p + a, &b) != '/' || spelled(p + a + b, &c) != '/') {
            out += *p++;
            continue;
        }
        const char *host = p + a + b + c;
        out.append(p, host);
        const char *at = nullptr, *q = host;
        for (;;) {
            size_t n;
            char ch = spelled(q, &n);
            if (ends_authority(ch))
                break;
            if (ch == '@')
                at = q;
            q += n;
        }
        if (at) {
            out += "***";
            p = at;
        } else {
            p = host;
        }
    }
    return out;
}
