#include "netservice/manage_allow.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <string>
#include <unistd.h>

#include "common/log.h"
#include "settings/protection.h"

namespace
{

enum { FILE_MAX = 65536 }; // a longer file is not an allow list

// Whether a malformed file has been reported (until it is mended or removed).
pthread_mutex_t report_lock = PTHREAD_MUTEX_INITIALIZER;
bool reported;

// One entry, without comment and surrounding blanks: address and prefix
// length (32 without "/n"). False when it is neither.
bool parse_entry(const std::string &entry, in_addr_t *net, in_addr_t *mask)
{
    if (entry.find('\0') != std::string::npos)
        return false;
    size_t slash = entry.find('/');
    std::string addr = entry.substr(0, slash);
    int bits = 32;
    if (slash != std::string::npos) {
        std::string len = entry.substr(slash + 1);
        if (len.empty() || len.size() > 2 || !isdigit((unsigned char)len[0]) ||
            !isdigit((unsigned char)len.back()))
            return false;
        bits = atoi(len.c_str());
        if (bits > 32)
            return false;
    }
    in_addr a;
    if (inet_pton(AF_INET, addr.c_str(), &a) != 1)
        return false;
    *mask = bits == 0 ? 0 : htonl(0xffffffffu << (32 - bits));
    *net = a.s_addr & *mask;
    return true;
}

// Reads the file: 1 read, 0 absent, -1 unreadable or too long (errno set).
int read_file(std::string *text)
{
    // O_NONBLOCK: a FIFO in its place must not stop the server.
    int fd = open(PROTECT_MANAGE_FILE, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        // Absent; but a dangling link is a file that cannot be read.
        int err = errno;
        struct stat st;
        if ((err == ENOENT || err == ENOTDIR) && lstat(PROTECT_MANAGE_FILE, &st) != 0)
            return 0;
        errno = err;
        return -1;
    }
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 && text->size() <= FILE_MAX)
        text->append(buf, static_cast<size_t>(n));
    int err = n < 0 ? errno : EFBIG;
    close(fd);
    if (n < 0 || text->size() > FILE_MAX) {
        errno = err;
        return -1;
    }
    return 1;
}

void report_malformed(const char *why)
{
    pthread_mutex_lock(&report_lock);
    if (why && !reported)
        log_line(LOG_WARNING, "%s: %s: management denied to every address", PROTECT_MANAGE_FILE,
                 why);
    reported = why != nullptr;
    pthread_mutex_unlock(&report_lock);
}

// 1 allowed, 0 not, -1 malformed (reported once); *entries as parsed.
int check(const in_addr *peer, int *entries)
{
    std::string text;
    int rd = read_file(&text);
    *entries = 0;
    if (rd == 0) {
        report_malformed(nullptr);
        return 1;
    }
    if (rd < 0) {
        report_malformed(strerror(errno));
        return -1;
    }
    int bad = 0;
    int r = manage_allow_match(text.data(), text.size(), peer ? peer->s_addr : INADDR_NONE, entries,
                               &bad);
    if (r < 0) {
        std::string why = "line " + std::to_string(bad) + " is not an IPv4 address or prefix";
        report_malformed(why.c_str());
        return -1;
    }
    report_malformed(nullptr);
    return peer ? r : 0;
}

} // namespace

int manage_allow_match(const char *text, size_t size, in_addr_t peer, int *entries, int *bad_line)
{
    const char *end = text + size;
    int allowed = 0;
    *entries = 0;
    for (int line = 1; text < end; line++) {
        const char *nl = static_cast<const char *>(memchr(text, '\n', end - text));
        std::string l(text, nl ? nl : end);
        text = nl ? nl + 1 : end;
        l = l.substr(0, l.find('#'));
        size_t b = l.find_first_not_of(" \t\r"), e = l.find_last_not_of(" \t\r");
        if (b == std::string::npos)
            continue;
        in_addr_t net, mask;
        if (!parse_entry(l.substr(b, e - b + 1), &net, &mask)) {
            *bad_line = line;
            return -1;
        }
        ++*entries;
        allowed |= (peer & mask) == net;
    }
    return allowed;
}

bool manage_allowed(const in_addr *peer)
{
    int entries;
    return check(peer, &entries) == 1;
}

void print_protection_state(void)
{
    int entries;
    int state = check(nullptr, &entries);
    std::string manage = "management open to every address";
    if (state == 0)
        manage = "management restricted to " + std::to_string(entries) + " entries of " +
                 PROTECT_MANAGE_FILE;
    else if (state < 0)
        manage = "management denied to every address";
    printf("protection: service certificate %s; %s\n",
           service_ca_present() ? "verified against " PROTECT_CA_FILE : "not verified",
           manage.c_str());
}
