#include "tools/servicesim/sim_faults.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/common/parse_number.h"

namespace
{

struct fault_entry {
    int kind;
    long arg;
    long count; // requests left; -1: every request
};

std::vector<fault_entry> faults;

const struct {
    const char *name;
    bool takes_arg;
} kinds[FAULT_KINDS] = {
    {"delay", true},      {"fault500", false}, {"fault200", false},   {"http", true},
    {"drop", false},      {"nocolor", false},  {"shortcolor", false}, {"relay1", false},
    {"relayword", false}, {"reorder", false},  {"extra", false},      {"stall", false},
    {"trickle", true},
};

// A whole decimal number >= min, or -1.
long parse_number(const std::string &text, long min)
{
    long v;
    return parse_long(text.c_str(), min, LONG_MAX, &v) == 0 ? v : -1;
}

} // namespace

const char *sim_fault_name(int kind)
{
    return kind >= 0 && kind < FAULT_KINDS ? kinds[kind].name : "?";
}

int sim_fault_add(const char *arg)
{
    std::string text(arg), count_text;
    size_t comma = text.find(',');
    if (comma != std::string::npos) {
        count_text = text.substr(comma + 1);
        text.erase(comma);
    }
    size_t eq = text.find('=');
    std::string name = text.substr(0, eq);
    std::string arg_text = eq == std::string::npos ? "" : text.substr(eq + 1);

    fault_entry f = {-1, 0, -1};
    for (int k = 0; k < FAULT_KINDS; k++) {
        if (name == kinds[k].name)
            f.kind = k;
    }
    bool ok = f.kind >= 0 && (eq != std::string::npos) == kinds[f.kind].takes_arg;
    if (ok && kinds[f.kind].takes_arg) {
        f.arg = parse_number(arg_text, f.kind == FAULT_HTTP ? 100 : 0);
        ok = f.arg >= 0 && (f.kind != FAULT_HTTP || f.arg <= 999);
    }
    if (ok && comma != std::string::npos) {
        ok = count_text.compare(0, 6, "count=") == 0;
        f.count = ok ? parse_number(count_text.substr(6), 1) : -1;
        ok = ok && f.count > 0;
    }
    if (!ok) {
        fprintf(stderr, "gatewarden-servicesim: bad --fault '%s'\n", arg);
        return -1;
    }
    faults.push_back(f);
    return 0;
}

sim_faults sim_faults_take(void)
{
    sim_faults now;
    memset(&now, 0, sizeof now);
    for (fault_entry &f : faults) {
        if (f.count == 0)
            continue;
        now.active[f.kind] = true;
        now.arg[f.kind] = f.arg;
        if (f.count > 0)
            f.count--;
    }
    return now;
}
