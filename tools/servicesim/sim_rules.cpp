#include "tools/servicesim/sim_rules.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/stat.h>

namespace
{

const char GRANT_COLOR[] = "000000100";
const char DENY_COLOR[] = "000000001";

struct rule {
    int relay;
    std::string color;
};

std::map<std::string, rule> card_rules;
bool have_all;                       // --grant-all or --deny-all
rule all_rule;                       // their answer
rule default_rule = {0, DENY_COLOR}; // no rule at all; a rules file may change it

int parse_relay(const std::string &text, int *relay)
{
    if (text != "0" && text != "1")
        return -1;
    *relay = text[0] - '0';
    return 0;
}

} // namespace

int sim_rules_add_card(const char *arg)
{
    const char *eq = strchr(arg, '=');
    const char *comma = eq ? strchr(eq, ',') : nullptr;
    int relay;
    if (!eq || eq == arg || !comma || parse_relay(std::string(eq + 1, comma), &relay) != 0) {
        fprintf(stderr, "gatewarden-servicesim: bad --card '%s' (CARD=RELAY,COLOR)\n", arg);
        return -1;
    }
    card_rules[std::string(arg, eq)] = {relay, comma + 1};
    return 0;
}

int sim_rules_load(const char *path)
{
    // A directory opens like an empty file: only a regular file is a rules file.
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) {
        fprintf(stderr, "gatewarden-servicesim: rules file %s is not a regular file\n", path);
        return -1;
    }
    std::ifstream in(path);
    if (!in) {
        fprintf(stderr, "gatewarden-servicesim: cannot read rules file %s\n", path);
        return -1;
    }
    std::string line;
    for (int n = 1; std::getline(in, line); n++) {
        std::istringstream words(line);
        std::string card, relay_text, color, extra;
        if (!(words >> card) || card[0] == '#')
            continue;
        int relay;
        if (!(words >> relay_text >> color) || (words >> extra) ||
            parse_relay(relay_text, &relay) != 0) {
            fprintf(stderr, "gatewarden-servicesim: %s:%d: expected CARD RELAY COLOR\n", path, n);
            return -1;
        }
        if (card == "default")
            default_rule = {relay, color};
        else
            card_rules[card] = {relay, color};
    }
    return 0;
}

void sim_rules_set_all(int grant)
{
    have_all = true;
    all_rule = grant ? rule{1, GRANT_COLOR} : rule{0, DENY_COLOR};
}

sim_answer sim_rules_decide(const std::string &card)
{
    auto it = card_rules.find(card);
    if (it != card_rules.end())
        return {it->second.relay ? "grant" : "deny", it->second.relay, it->second.color};
    if (have_all)
        return {all_rule.relay ? "grant" : "deny", all_rule.relay, all_rule.color};
    return {"unknown", default_rule.relay, default_rule.color};
}
