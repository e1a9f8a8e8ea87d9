// gatewarden-provision: creates the device's settings stores when they are
// missing: /etc/reader.db (readerInfo, row 1), /etc/card.db (card) and
// /etc/eth0-setting (five lines). What is there already is kept, except the
// values given on the command line: they replace the stored ones (the
// device address and URL of row 1, the given lines of /etc/eth0-setting).
// Prints one line for each thing it created, changed or kept.
//
// The protections are installed only when asked for, and then replace what
// was there: --ca FILE becomes /etc/gatewarden/ca.pem, --manage-allow LIST
// becomes /etc/gatewarden/manage-allow, --offline-grace PERIOD becomes
// /etc/gatewarden/offline-grace (off removes it).
//
// Exit status: 0 done, 1 a store could not be created or completed, 2 bad usage.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <openssl/pem.h>
#include <sqlite3.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "common/netaddr.h"
#include "netservice/manage_allow.h"
#include "settings/netconfig.h"
#include "settings/offline_config.h"
#include "settings/protection.h"
#include "settings/readerdb.h"
#include "tools/common/getopt_failure.h"
#include "tools/common/parse_number.h"
#include "tools/common/url_check.h"
#include "tools/provision/provision_grace.h"

namespace
{

const char *const DEFAULT_URL = "http://127.0.0.1:8080/ws/AccessGate";

// Defaults of a fresh network settings file, in entry order.
const char *const NET_DEFAULTS[NET_ENTRIES] = {"192.0.2.10", "255.255.255.0", "192.0.2.1",
                                               "192.0.2.1", nullptr}; // MAC: board_mac

const char *const READER_SCHEMA =
    "create table if not exists readerInfo(id INTEGER PRIMARY KEY, devAddr INTEGER, "
    "serverUrl TEXT)";
const char *const READER_ROW =
    "insert or ignore into readerInfo(id, devAddr, serverUrl) values(1, ?, ?)";
// The given values of row 1 (a null parameter keeps the stored one); the
// row matches only when one differs, so that a repeat counts no change.
const char *const READER_UPDATE =
    "update readerInfo set devAddr = coalesce(?1, devAddr), serverUrl = coalesce(?2, serverUrl) "
    "where id = 1 and (coalesce(?1, devAddr) is not devAddr or "
    "coalesce(?2, serverUrl) is not serverUrl)";
const char *const CARD_SCHEMA = "create table if not exists card(id INTEGER PRIMARY KEY, "
                                "cardNum TEXT)";

struct Options {
    std::string root = "/";
    int devAddr = 0;
    const char *url = DEFAULT_URL;
    bool devAddr_set = false, url_set = false;
    const char *net[NET_ENTRIES] = {};
    std::string ca, manage; // texts of ca.pem and manage-allow, when set
    bool ca_set = false, manage_set = false;
};

void usage(FILE *out)
{
    fputs("usage: gatewarden-provision [--root DIR] [--devaddr N] [--url URL] [--ip A]\n"
          "                            [--mask M] [--gateway G] [--dns D] [--mac M]\n"
          "                            [--ca FILE] [--manage-allow LIST]\n"
          "Creates DIR/etc/reader.db, DIR/etc/card.db and DIR/etc/eth0-setting where\n"
          "they are missing (DIR, which must exist, defaults to /). In existing ones\n"
          "the values given replace the stored ones; everything else is kept.\n"
          "Defaults: devaddr 0, url http://127.0.0.1:8080/ws/AccessGate, ip 192.0.2.10,\n"
          "mask 255.255.255.0, gateway 192.0.2.1, dns 192.0.2.1, mac the board's: that of\n"
          "eth0 (with DIR /), else a locally administered one from DIR/etc/machine-id.\n"
          "--ca FILE installs the PEM certificates of FILE as DIR" PROTECT_CA_FILE ":\n"
          "the access service must then be https with a certificate from that CA.\n"
          "--manage-allow LIST installs LIST (IPv4 addresses and prefixes, separated by\n"
          "commas) as DIR" PROTECT_MANAGE_FILE ": only they may then manage the device.\n",
          out);
    grace_usage(out);
}

bool parse_int(const char *text, int *out)
{
    long v;
    if (parse_long(text, INT_MIN, INT_MAX, &v) != 0)
        return false;
    *out = (int)v;
    return true;
}

// True when text is PEM certificates and nothing else that PEM could read.
bool is_ca_text(const std::string &text)
{
    BIO *in = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
    STACK_OF(X509_INFO) *infos =
        in ? PEM_X509_INFO_read_bio(in, nullptr, nullptr, nullptr) : nullptr;
    int certs = 0;
    for (int i = 0; infos && i < sk_X509_INFO_num(infos); i++)
        certs += sk_X509_INFO_value(infos, i)->x509 != nullptr;
    bool ok = infos && certs == sk_X509_INFO_num(infos) && certs > 0;
    sk_X509_INFO_pop_free(infos, X509_INFO_free);
    BIO_free(in);
    return ok;
}

// The manage-allow file for a comma-separated LIST; false on a bad entry.
bool manage_text(const char *list, std::string *text)
{
    *text = "# IPv4 addresses and prefixes that may manage this controller\n";
    for (const char *p = list; *p;) {
        size_t n = strcspn(p, ",");
        *text += std::string(p, n) + "\n";
        p += n + (p[n] == ',');
    }
    int entries, bad;
    return manage_allow_match(text->data(), text->size(), 0, &entries, &bad) >= 0 &&
           text->find('#', 1) == std::string::npos;
}

// 0, or 2 after a message on bad usage.
int parse_args(int argc, char **argv, Options *o)
{
    enum { O_ROOT = 256, O_DEVADDR, O_URL, O_CA, O_MANAGE, O_NET };
    static const option longopts[] = {
        {"root", required_argument, nullptr, O_ROOT},
        {"devaddr", required_argument, nullptr, O_DEVADDR},
        {"url", required_argument, nullptr, O_URL},
        {"ca", required_argument, nullptr, O_CA},
        {"manage-allow", required_argument, nullptr, O_MANAGE},
        {"ip", required_argument, nullptr, O_NET + NET_IP},
        {"mask", required_argument, nullptr, O_NET + NET_MASK},
        {"gateway", required_argument, nullptr, O_NET + NET_GATEWAY},
        {"dns", required_argument, nullptr, O_NET + NET_DNS},
        {"mac", required_argument, nullptr, O_NET + NET_MAC},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "h", longopts, nullptr)) != -1) {
        const char *val = optarg;
        switch (c) {
        case 'h':
            usage(stdout);
            exit(0);
        case '?': {
            char msg[300];
            getopt_failure(argv, "h", msg, sizeof msg);
            fprintf(stderr, "gatewarden-provision: %s\n", msg);
            return 2;
        }
        case O_ROOT:
            o->root = val;
            break;
        case O_DEVADDR:
            if (!parse_int(val, &o->devAddr)) {
                fprintf(stderr, "gatewarden-provision: bad device address '%s'\n", val);
                return 2;
            }
            o->devAddr_set = true;
            break;
        case O_URL:
            if (tool_check_url(val) != 0) {
                fprintf(stderr,
                        "gatewarden-provision: bad --url '%s': http:// or https://, no blanks or "
                        "control characters, at most %d characters\n",
                        val, READER_URL_MAX);
                return 2;
            }
            o->url = val;
            o->url_set = true;
            break;
        case O_CA: {
            std::ifstream in(val, std::ios::binary);
            std::ostringstream text;
            text << in.rdbuf();
            o->ca = text.str();
            if (!in || !is_ca_text(o->ca)) {
                fprintf(stderr, "gatewarden-provision: %s is not a file of PEM certificates\n",
                        val);
                return 2;
            }
            o->ca_set = true;
            break;
        }
        case O_MANAGE:
            if (!manage_text(val, &o->manage)) {
                fprintf(stderr,
                        "gatewarden-provision: bad --manage-allow '%s': IPv4 addresses and "
                        "prefixes separated by commas\n",
                        val);
                return 2;
            }
            o->manage_set = true;
            break;
        default: {
            int k = c - O_NET;
            if (netconfig_check_value(k, val) != 0) {
                fprintf(stderr, "gatewarden-provision: bad value for --%s: '%s'\n",
                        longopts[O_NET - O_ROOT + k].name, val);
                return 2;
            }
            o->net[k] = val;
        }
        }
    }
    if (optind < argc) {
        fprintf(stderr, "gatewarden-provision: unexpected argument '%s'\n", argv[optind]);
        return 2;
    }
    return 0;
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Writes text to path whole or not at all: into a temporary file beside it,
// synced, then renamed over path (replace) or linked to it, which fails
// rather than replace a file that appeared meanwhile. 0, or an errno value.
int write_whole(const std::string &path, const std::string &text, bool replace)
{
    std::string tmp = path + ".XXXXXX";
    int fd = mkstemp(&tmp[0]);
    if (fd < 0)
        return errno;
    bool ok = fchmod(fd, 0644) == 0 &&
              write(fd, text.data(), text.size()) == (ssize_t)text.size() && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
    int err = errno;
    if (ok &&
        (replace ? rename(tmp.c_str(), path.c_str()) : link(tmp.c_str(), path.c_str())) != 0) {
        err = errno;
        ok = false;
    }
    unlink(tmp.c_str());
    return ok ? 0 : err;
}

// The board's MAC address: with root "/", eth0's own (when it has one);
// else a locally administered unicast address made of the first bytes of
// root/etc/machine-id; else a random one of the same kind.
std::string board_mac(const std::string &top)
{
    std::string mac;
    if (top.empty()) {
        std::ifstream in("/sys/class/net/eth0/address");
        std::getline(in, mac);
        if (netaddr_check_mac(mac.c_str()) == 0 && mac != "00:00:00:00:00:00")
            return mac;
    }
    unsigned char b[6] = {0, 0, 0, 0, 0, 0};
    std::string id;
    std::ifstream in(top + "/etc/machine-id");
    std::getline(in, id);
    bool from_id = id.size() >= 10 && id.find_first_not_of("0123456789abcdef") == std::string::npos;
    for (int k = 0; from_id && k < 5; k++)
        b[k + 1] = static_cast<unsigned char>(std::stoul(id.substr(2 * k, 2), nullptr, 16));
    if (!from_id && getentropy(b + 1, 5) != 0)
        b[1] = static_cast<unsigned char>(getpid()),
        b[2] = static_cast<unsigned char>(time(nullptr));
    b[0] = 0x02; // locally administered, unicast
    char text[18];
    snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", b[0], b[1], b[2], b[3], b[4],
             b[5]);
    return text;
}

// Creates the settings file whole or not at all; in an existing one the
// given values replace those of their keys (a missing key is added), and
// the file is rewritten whole.
int make_eth0_setting(const std::string &path, const std::string &top, const Options &o)
{
    std::string text, changed, kept;
    bool fresh = !exists(path);
    if (fresh) {
        for (int k = 0; k < NET_ENTRIES; k++)
            text += std::string(NETCONFIG_KEYS[k]) + "=" +
                    (o.net[k]          ? o.net[k]
                     : NET_DEFAULTS[k] ? NET_DEFAULTS[k]
                                       : board_mac(top)) +
                    "\n";
    } else {
        std::ifstream in(path);
        std::vector<std::string> lines;
        for (std::string l; std::getline(in, l);)
            lines.push_back(l);
        for (int k = 0; k < NET_ENTRIES; k++) {
            std::string key = std::string(NETCONFIG_KEYS[k]) + "=";
            auto at = std::find_if(lines.begin(), lines.end(),
                                   [&](const std::string &l) { return l.rfind(key, 0) == 0; });
            if (!o.net[k] || (at != lines.end() && *at == key + o.net[k])) {
                kept += " " + (at != lines.end() ? *at : key.substr(0, key.size() - 1) + " (none)");
                continue;
            }
            changed += " " + key + o.net[k];
            if (at != lines.end())
                *at = key + o.net[k];
            else
                lines.push_back(key + o.net[k]);
        }
        if (changed.empty()) {
            printf("kept %s:%s\n", path.c_str(), kept.c_str());
            return 0;
        }
        for (const std::string &l : lines)
            text += l + "\n";
    }
    int err = write_whole(path, text, !fresh);
    if (err) {
        fprintf(stderr, "gatewarden-provision: %s: %s\n", path.c_str(), strerror(err));
        return 1;
    }
    if (fresh)
        printf("created %s\n", path.c_str());
    else
        printf("changed %s:%s%s%s\n", path.c_str(), changed.c_str(),
               kept.empty() ? "" : "; kept:", kept.c_str());
    return 0;
}

// Installs a protection file below root, replacing what was there.
int install(const std::string &root, const char *file, const std::string &text)
{
    std::string path = root + file;
    std::string dir = path.substr(0, path.rfind('/'));
    bool had = exists(path);
    int err = mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST ? errno : 0;
    if (!err)
        err = write_whole(path, text, true);
    if (err) {
        fprintf(stderr, "gatewarden-provision: %s: %s\n", path.c_str(), strerror(err));
        return 1;
    }
    printf("%s %s\n", had ? "replaced" : "installed", path.c_str());
    return 0;
}

bool table_exists(sqlite3 *db, const char *name)
{
    sqlite3_stmt *st;
    if (sqlite3_prepare_v2(db, "select 1 from sqlite_master where type='table' and name=?", -1, &st,
                           nullptr) != SQLITE_OK)
        return false;
    sqlite3_bind_text(st, 1, name, -1, SQLITE_STATIC);
    bool found = sqlite3_step(st) == SQLITE_ROW;
    sqlite3_finalize(st);
    return found;
}

// Opens (creating) the database, makes sure the table exists and, for the
// reader settings, row 1. All of it in one transaction.
int make_db(const std::string &path, const char *table, const char *schema, const Options *row)
{
    bool fresh = !exists(path);
    sqlite3 *db = nullptr;
    const char *step = "open";
    bool had_table = false;
    int added_row = 0;
    bool changed_row = false;
    int rc =
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_busy_timeout(db, 2000);
        step = "begin";
        rc = sqlite3_exec(db, "begin immediate", nullptr, nullptr, nullptr);
    }
    if (rc == SQLITE_OK) {
        had_table = table_exists(db, table);
        step = "create table";
        rc = sqlite3_exec(db, schema, nullptr, nullptr, nullptr);
    }
    if (rc == SQLITE_OK && row) {
        sqlite3_stmt *st = nullptr;
        step = "insert row 1";
        rc = sqlite3_prepare_v2(db, READER_ROW, -1, &st, nullptr);
        if (rc == SQLITE_OK) {
            sqlite3_bind_int(st, 1, row->devAddr);
            sqlite3_bind_text(st, 2, row->url, -1, SQLITE_STATIC);
            rc = sqlite3_step(st) == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(db);
            added_row = sqlite3_changes(db);
        }
        sqlite3_finalize(st);
        st = nullptr;
        if (rc == SQLITE_OK && !added_row && (row->devAddr_set || row->url_set)) {
            step = "update row 1";
            rc = sqlite3_prepare_v2(db, READER_UPDATE, -1, &st, nullptr);
        }
        if (st) {
            if (row->devAddr_set)
                sqlite3_bind_int(st, 1, row->devAddr);
            if (row->url_set)
                sqlite3_bind_text(st, 2, row->url, -1, SQLITE_STATIC);
            rc = sqlite3_step(st) == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(db);
            changed_row = sqlite3_changes(db) > 0;
        }
        sqlite3_finalize(st);
    }
    if (rc == SQLITE_OK) {
        step = "commit";
        rc = sqlite3_exec(db, "commit", nullptr, nullptr, nullptr);
    }
    if (rc != SQLITE_OK) {
        fprintf(stderr, "gatewarden-provision: %s: %s: %s\n", path.c_str(), step,
                db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close(db);
        return 1;
    }
    sqlite3_close(db);

    std::string added;
    if (!had_table)
        added = std::string("table ") + table;
    if (added_row)
        added += (had_table ? "" : ", ") + std::string("row 1 (devAddr ") +
                 std::to_string(row->devAddr) + ", serverUrl " + row->url + ")";
    if (changed_row)
        printf("changed %s: row 1:%s%s%s\n", path.c_str(),
               row->devAddr_set ? (" devAddr " + std::to_string(row->devAddr)).c_str() : "",
               row->url_set ? (std::string(" serverUrl ") + row->url).c_str() : "",
               row->devAddr_set && row->url_set ? ""
               : row->devAddr_set               ? "; kept: serverUrl"
                                                : "; kept: devAddr");
    else if (added.empty())
        printf("kept %s\n", path.c_str());
    else
        printf("%s %s: %s\n", fresh ? "created" : "added to", path.c_str(), added.c_str());
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    std::string grace; // offline grace: separate from the other options
    int grace_set = grace_option_take(&argc, argv, &grace);
    if (grace_set == 2 || parse_args(argc, argv, &o) != 0) {
        usage(stderr);
        return 2;
    }
    std::string top =
        o.root.empty() || o.root.back() != '/' ? o.root : o.root.substr(0, o.root.size() - 1);
    std::string etc = top + "/etc";
    // The daemon refuses an http URL while it holds a CA file.
    if (o.url_set && !service_url_https(o.url) && (o.ca_set || exists(top + PROTECT_CA_FILE))) {
        fprintf(stderr,
                "gatewarden-provision: --url must be https:// while %s is %s: the controller "
                "refuses an http service then\n",
                (top + PROTECT_CA_FILE).c_str(), o.ca_set ? "installed (--ca)" : "present");
        return 2;
    }
    // The root must be there: a mistyped one is not a new tree.
    struct stat st;
    int err = stat(o.root.c_str(), &st) != 0 ? errno : S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    if (err) {
        fprintf(stderr, "gatewarden-provision: --root %s: %s\n", o.root.c_str(), strerror(err));
        return 1;
    }
    if (mkdir(etc.c_str(), 0755) != 0 && errno != EEXIST) {
        fprintf(stderr, "gatewarden-provision: %s: %s\n", etc.c_str(), strerror(errno));
        return 1;
    }
    int rc = 0;
    rc |= make_db(etc + "/reader.db", "readerInfo", READER_SCHEMA, &o);
    rc |= make_db(etc + "/card.db", "card", CARD_SCHEMA, nullptr);
    rc |= make_eth0_setting(etc + "/eth0-setting", top, o);
    if (o.ca_set)
        rc |= install(top, PROTECT_CA_FILE, o.ca);
    if (o.manage_set)
        rc |= install(top, PROTECT_MANAGE_FILE, o.manage);
    if (grace_set == 1)
        rc |= grace.empty() ? grace_remove(top) : install(top, OFFLINE_GRACE_FILE, grace);
    return rc ? 1 : 0;
}
