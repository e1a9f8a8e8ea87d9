#include "tests/settings/settings_files.h"

#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sqlite3.h>
#include <sstream>
#include <sys/stat.h>

std::string read_file(const std::string &path)
{
    std::ostringstream out;
    out << std::ifstream(path, std::ios::binary).rdbuf();
    return out.str();
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

bool file_exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

int count_entries(const std::string &dir, const std::string &prefix)
{
    DIR *d = opendir(dir.c_str());
    if (!d)
        return -1;
    int n = 0;
    while (dirent *e = readdir(d))
        n += strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0;
    closedir(d);
    return n;
}

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
