// gatewardenctl audit [--drain] [--root DIR]: the cards that the controller
// decided without the access service, read from its offline store on this
// board (the file, not the network: the management protocol stays as it
// is). --drain deletes what was shown, in the same transaction.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "settings/grant_store.h"
#include "tools/ctl/ctl.h"

static void print_row(const audit_row *r, void *)
{
    char when[32] = "?";
    time_t t = static_cast<time_t>(r->at);
    struct tm tm;
    if (gmtime_r(&t, &tm))
        strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &tm);
    printf("%-6lld %s  ", r->id, when);
    print_text(stdout, r->card);
    printf("  %s", r->outcome);
    if (strcmp(r->outcome, "granted") == 0)
        printf(" (relay %d, light %d)", r->relay, r->light);
    putchar('\n');
}

int cmd_audit(int argc, char **argv)
{
    bool drain = false;
    std::string root;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--drain") == 0) {
            drain = true;
        } else if (strcmp(argv[i], "--root") == 0 && i + 1 < argc) {
            root = argv[++i];
        } else if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            printf("usage: %s audit [--drain] [--root DIR]\n"
                   "Shows the cards decided without the access service (offline grace), oldest\n"
                   "first: number, time (UTC), card, outcome. Reads DIR" GRANT_STORE_PATH
                   " on this\nboard (DIR defaults to /). --drain deletes the entries shown.\n",
                   ctl_prog);
            return CTL_OK;
        } else {
            ctl_err("audit: unknown option '%s'; try '%s audit --help'", argv[i], ctl_prog);
            return CTL_USAGE;
        }
    }
    while (!root.empty() && root.back() == '/')
        root.pop_back();
    std::string path = root + GRANT_STORE_PATH;
    if (audit_list(path.c_str(), drain, print_row, nullptr) < 0) {
        ctl_err("no audit in %s (offline grace never on here?)", path.c_str());
        return CTL_REFUSED;
    }
    return CTL_OK;
}
