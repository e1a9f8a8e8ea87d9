#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <linux/magic.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/vfs.h>

#include "tools/support/support.h"

double now_ms()
{
    return static_cast<double>(mono_ns()) / 1e6;
}

long long realtime_ms()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

bool in_board_sandbox()
{
    const char *s = getenv("GW_SANDBOX");
    auto on_tmpfs = [](const char *path) {
        struct statfs fs;
        return statfs(path, &fs) == 0 && fs.f_type == TMPFS_MAGIC;
    };
    return s && strcmp(s, "1") == 0 && on_tmpfs("/etc") && on_tmpfs("/dev");
}

std::string read_file(const std::string &path)
{
    std::ostringstream out;
    out << std::ifstream(path, std::ios::binary).rdbuf();
    return out.str();
}

bool write_file(const std::string &path, const std::string &content)
{
    return static_cast<bool>(std::ofstream(path, std::ios::binary | std::ios::trunc) << content);
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

TempDir::TempDir(const char *prefix)
{
    const char *tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + ".XXXXXX";
    if (mkdtemp(&tmpl[0]))
        path = tmpl;
}

TempDir::~TempDir()
{
    if (!path.empty() && system(("rm -rf '" + path + "'").c_str()) != 0)
        path.clear();
}
