// Network settings file /etc/eth0-setting: five lines "key=value", read into
// and written from a NetInfo record.
//
// Reading splits each line at its first '=' and drops the line feed that
// ends it; a carriage return before it stays part of the value. Texts longer
// than their field are cut to fit. A line without '=' is taken as a key whose
// value is empty, so that the entry keeps its name.
//
// Writing never rewrites the file in place: the five lines go to a new file
// beside it, which is synced and then renamed over the old one, and the
// directory is synced after the rename. A failed or interrupted write leaves
// the previous settings whole. The new file's name starts with
// NETCONFIG_TMP_PREFIX, which no person picks, so that what an interrupted
// write leaves behind can be told from a copy made by hand.
#include "settings/netconfig.h"

#include "common/log.h"
#include "common/netaddr.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

pthread_mutex_t netconfig_lock = PTHREAD_MUTEX_INITIALIZER;
const char *const NETCONFIG_PATH = "/etc/eth0-setting";

namespace
{

const char *const WRITE_FAILED = "Write /etc/eth0-setting failed";

// Longest key plus value that a written line holds: '=', '\n' and NUL take
// the other three bytes of NET_LINE_LEN.
const size_t NET_KEY_VALUE_MAX = NET_LINE_LEN - 3;

void copy_cut(char *field, size_t field_size, const char *text, size_t len)
{
    if (len > field_size - 1)
        len = field_size - 1;
    memcpy(field, text, len);
    field[len] = '\0';
}

// A key and a value that can be written as one line and read back the same;
// an empty key would give a line that names nothing.
bool entry_fits(const char *key, const char *value)
{
    size_t klen = strnlen(key, NET_KEY_LEN);
    size_t vlen = strnlen(value, NET_VALUE_LEN);
    if (klen == 0 || klen == NET_KEY_LEN || vlen == NET_VALUE_LEN ||
        klen + vlen > NET_KEY_VALUE_MAX)
        return false;
    return !memchr(key, '=', klen) && !memchr(key, '\n', klen) && !memchr(value, '\n', vlen);
}

// The file the settings live in: the target when the name is a symbolic link,
// so that a replacement lands where the link points.
std::string settings_target()
{
    char resolved[PATH_MAX];
    if (realpath(NETCONFIG_PATH, resolved))
        return resolved;
    return NETCONFIG_PATH;
}

// The directory part of path, with its '/'.
std::string dir_of(const std::string &path)
{
    return path.substr(0, path.rfind('/') + 1);
}

int sync_dir_of(const std::string &path)
{
    int fd = open(dir_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int ret = fsync(fd);
    if (ret != 0 && errno == EINVAL) // a file system that cannot sync directories
        ret = 0;
    close(fd);
    return ret;
}

// Writes the five lines to a new file and renames it over target.
int replace_file(const std::string &target, const NetInfo *info)
{
    std::string dir = dir_of(target);
    std::string tmp = dir + NETCONFIG_TMP_PREFIX + target.substr(dir.size()) + ".XXXXXX";
    int fd = mkostemp(&tmp[0], O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st;
    if (stat(target.c_str(), &st) == 0) {
        fchmod(fd, st.st_mode & 07777);
        if (fchown(fd, st.st_uid, st.st_gid) != 0) {
            // keeps our own owner
        }
    } else {
        fchmod(fd, 0644);
    }
    FILE *fp = fdopen(fd, "w");
    if (!fp) {
        close(fd);
        unlink(tmp.c_str());
        return -1;
    }
    bool ok = true;
    for (int i = 0; i < NET_ENTRIES && ok; i++) {
        // "%s=%s\n"; entry_fits() has made sure that the line fits.
        const NetEntry *e = &info->entry[i];
        size_t klen = strlen(e->key), vlen = strlen(e->value);
        char line[NET_LINE_LEN];
        memcpy(line, e->key, klen);
        line[klen] = '=';
        memcpy(line + klen + 1, e->value, vlen);
        line[klen + 1 + vlen] = '\n';
        ok = fwrite(line, klen + vlen + 2, 1, fp) == 1;
    }
    ok = ok && fflush(fp) == 0 && fsync(fileno(fp)) == 0;
    int err = errno;
    if (fclose(fp) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && rename(tmp.c_str(), target.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        unlink(tmp.c_str());
        errno = err;
        return -1;
    }
    // The new settings are in place now: a directory that cannot be synced
    // only weakens their durability, so it is reported but not a failure.
    if (sync_dir_of(target) != 0)
        perror("fsync of /etc");
    return 0;
}

} // namespace

void netconfig_parse_line(NetEntry *entry, const char *line, size_t len)
{
    if (len > 0 && line[len - 1] == '\n')
        len--;
    if (len == 0) {
        entry->key[0] = '\0';
        entry->value[0] = '\0';
        return;
    }
    const char *eq = static_cast<const char *>(memchr(line, '=', len));
    size_t klen = eq ? (size_t)(eq - line) : len;
    copy_cut(entry->key, NET_KEY_LEN, line, klen);
    if (eq)
        copy_cut(entry->value, NET_VALUE_LEN, eq + 1, len - klen - 1);
    else
        entry->value[0] = '\0';
}

int readNetConfig(NetInfo *info)
{
    FILE *fp = fopen(NETCONFIG_PATH, "re");
    if (!fp) {
        int err = errno;
        perror(NETCONFIG_PATH);
        errno = err;
        return -1;
    }
    char *line = nullptr;
    size_t cap = 0;
    for (int i = 0; i < NET_ENTRIES; i++) {
        ssize_t n = getline(&line, &cap, fp);
        if (n < 0)
            break;
        netconfig_parse_line(&info->entry[i], line, (size_t)n);
    }
    free(line);
    fclose(fp);
    return 0;
}

int writeNetConfig(NetInfo *info)
{
    for (int i = 0; i < NET_ENTRIES; i++) {
        if (!entry_fits(info->entry[i].key, info->entry[i].value)) {
            log_line(LOG_ERR, "%s", WRITE_FAILED);
            return -1;
        }
    }
    if (replace_file(settings_target(), info) != 0) {
        perror(NETCONFIG_PATH);
        log_line(LOG_ERR, "%s", WRITE_FAILED);
        return -1;
    }
    return 0;
}

int netinfo_set_value(NetInfo *info, int idx, const char *value)
{
    if (!info || !value || idx < 0 || idx >= NET_ENTRIES)
        return -1;
    NetEntry *e = &info->entry[idx];
    if (strnlen(e->key, NET_KEY_LEN) == NET_KEY_LEN || strpbrk(value, "\r\n") ||
        !entry_fits(e->key, value))
        return -1;
    memset(e->value, 0, sizeof e->value);
    memcpy(e->value, value, strlen(value));
    return 0;
}

namespace
{

// "<prefix><name>.XXXXXX" as mkstemp fills it in (no prefix: the form in
// which older versions named their new file, and a person may name a copy).
bool is_leftover(const std::string &entry, const std::string &prefix, const std::string &base)
{
    const size_t SUFFIX = 6;
    std::string name = prefix + base + ".";
    if (entry.size() != name.size() + SUFFIX || entry.compare(0, name.size(), name) != 0)
        return false;
    for (size_t i = name.size(); i < entry.size(); i++)
        if (!isalnum(static_cast<unsigned char>(entry[i])))
            return false;
    return true;
}

bool older(const timespec &t, const timespec *before)
{
    return t.tv_sec < before->tv_sec || (t.tv_sec == before->tv_sec && t.tv_nsec < before->tv_nsec);
}

} // namespace

int removeNetConfigLeftovers(const timespec *before)
{
    std::string target = settings_target();
    std::string dir = dir_of(target);
    std::string base = target.substr(dir.size());
    DIR *d = opendir(dir.c_str());
    if (!d)
        return 0;
    int removed = 0;
    while (dirent *e = readdir(d)) {
        std::string path = dir + e->d_name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !older(st.st_mtim, before))
            continue;
        if (is_leftover(e->d_name, "", base)) {
            // Nothing tells an older version's leftover from a copy made by hand.
            log_line(LOG_INFO,
                     "Left %s alone: an older version may have left it; remove it if "
                     "it is not a copy of yours",
                     path.c_str());
        } else if (is_leftover(e->d_name, NETCONFIG_TMP_PREFIX, base) &&
                   unlink(path.c_str()) == 0) {
            log_line(LOG_INFO, "Removed %s, left by an interrupted write", path.c_str());
            removed++;
        }
    }
    closedir(d);
    return removed;
}

const char *const NETCONFIG_KEYS[NET_ENTRIES] = {"IP", "Mask", "Gateway", "DNS", "MAC"};

int netconfig_check_value(int idx, const char *value)
{
    if (idx == NET_MASK)
        return netaddr_check_mask(value);
    return idx == NET_MAC ? netaddr_check_mac(value) : netaddr_check_ipv4(value);
}
