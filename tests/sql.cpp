#include "tests/sql.h"

#include <sqlite3.h>

std::string sql_query(const std::string &db_path, const std::string &text)
{
    sqlite3 *db;
    std::string out;
    sqlite3_open(db_path.c_str(), &db);
    char *err = nullptr;
    auto cb = [](void *arg, int n, char **vals, char **) {
        std::string &o = *static_cast<std::string *>(arg);
        for (int i = 0; i < n; i++)
            o += std::string(o.empty() ? "" : "|") + (vals[i] ? vals[i] : "<null>");
        return 0;
    };
    if (sqlite3_exec(db, text.c_str(), cb, &out, &err) != SQLITE_OK)
        out = std::string("<error: ") + (err ? err : "?") + ">";
    sqlite3_free(err);
    sqlite3_close(db);
    return out;
}
