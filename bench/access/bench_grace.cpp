// The offline store: what a remembered answer costs the hardware thread (the
// queueing, paced as cards come), how fast the writer keeps up, what an
// offline look-up costs, and the file's size after 10,000 distinct granted
// cards. A temporary directory; no sandbox needed:
//   build/bin/gatewarden-bench-grace
#include <algorithm>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "settings/grant_store.h"
#include "tools/support/support.h"

namespace
{

const int CARDS = GRANT_STORE_MAX, PACED = 1000, PACE_US = 5000, LOOKUPS = 1000;

long size_kb(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size / 1024) : 0;
}

void report(const char *what, std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    printf("%s (%zu): p50 %.3f ms, p99 %.3f ms, max %.3f ms\n", what, v.size(), v[v.size() / 2],
           v[v.size() * 99 / 100], v.back());
}

} // namespace

int main()
{
    TempDir dir("gw-bench-grace");
    std::string db = dir.path + "/offline.db";
    if (grant_store_open(db.c_str()) != 0)
        return 1;
    char card[GRANT_CARD_LEN];
    std::vector<double> put;
    for (int i = 0; i < PACED; i++) {
        snprintf(card, sizeof card, "%08X", 0x10000000 + i);
        double t0 = now_ms();
        grant_store_put(card, 2000000000, 1, 3);
        put.push_back(now_ms() - t0);
        usleep(PACE_US);
    }
    report("queueing one answer, one card every 5 ms", put);

    double t0 = now_ms();
    for (int i = 0; i < CARDS; i++) {
        snprintf(card, sizeof card, "%08X", 0x20000000 + i);
        grant_store_put(card, 2000000000 + i, 1, 3);
    }
    grant_store_flush();
    double ms = now_ms() - t0;
    printf("%d distinct grants written back to back: %.0f ms (%.0f a second)\n", CARDS, ms,
           CARDS * 1000.0 / ms);

    std::vector<double> find;
    grant_rec rec;
    long long latest;
    for (int i = 0; i < LOOKUPS; i++) {
        snprintf(card, sizeof card, "%08X", 0x20000000 + i * 7 % CARDS);
        double t1 = now_ms();
        grant_store_find(card, &rec, &latest);
        find.push_back(now_ms() - t1);
    }
    report("offline look-up", find);
    printf("file after %d distinct grants: %ld kB, write-ahead log %ld kB\n", CARDS, size_kb(db),
           size_kb(db + "-wal"));
    grant_store_close();
    printf("after close: %ld kB, write-ahead log %ld kB\n", size_kb(db), size_kb(db + "-wal"));
    return 0;
}
