// Decision rules of the access service simulator: which card gets which
// relay and Color answer.
#pragma once

#include <string>

struct sim_answer {
    const char *decision; // "grant", "deny" or "unknown" (the default rule applied)
    int relay;            // 0 or 1
    std::string color;
};

// "CARD=RELAY,COLOR" (--card). Returns 0, or -1 with a message on stderr.
int sim_rules_add_card(const char *arg);
// Lines "CARD RELAY COLOR" and "default RELAY COLOR"; blank lines and lines
// starting with '#' are skipped. Returns 0, or -1 with a message on stderr.
int sim_rules_load(const char *path);
// --grant-all (relay 1, 000000100) or --deny-all (relay 0, 000000001): the
// answer for every card without a rule of its own.
void sim_rules_set_all(int grant);

// The answer for card (the text without its line feed).
sim_answer sim_rules_decide(const std::string &card);
