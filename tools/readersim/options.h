// Command line of the simulator, and the card and fault notations that the
// command line and the standard-input commands share.
#pragma once

#include <cstddef>

enum {
    CARD_MAX_BYTES = 7,
    SIM_MAX_CARDS = 64,
    SIM_MAX_FAULTS = 64,
    FAULT_ANY_CMD = -1,
};

// A card identifier in the reply's byte order (the reverse of its text).
struct sim_card {
    unsigned char id[CARD_MAX_BYTES];
    int len; // 4 or 7
    char text[2 * CARD_MAX_BYTES + 1];
};

enum fault_kind {
    FAULT_SILENCE, // no reply at all
    FAULT_LATE,    // the reply starts arg ms late
    FAULT_SPLIT,   // a pause of arg ms in the middle of the reply
    FAULT_BADCRC,  // wrong check byte
    FAULT_NOEND,   // the end byte is left off
    FAULT_GARBAGE, // a few random bytes instead of a frame
    FAULT_STATUS,  // failure status with error code arg
    FAULT_SHORT,   // success reply with fewer data bytes (arg of them, -1: one less)
    FAULT_NOISE,   // arg random bytes of the reply changed
};

struct sim_fault {
    fault_kind kind;
    int arg;
    int cmd;   // command byte it applies to, or FAULT_ANY_CMD
    int count; // requests it still applies to
};

struct sim_options {
    const char *link;
    long baud;
    sim_card cards[SIM_MAX_CARDS];
    int ncards;
    long interval_ms;
    bool repeat;
    bool hold;
    bool quiet_polls;
    sim_fault faults[SIM_MAX_FAULTS];
    int nfaults;
    unsigned long seed;
    bool seeded;
    int turnaround_ms; // a reply starts this long after its request is in
    int jitter_ms;     // ... plus up to this much more, at random
    int fault_percent; // share of requests that get a fault of a random kind
};

enum { OPTIONS_RUN = 0, OPTIONS_HELP = 1, OPTIONS_BAD = 2 };

// Parses argv into o. Returns OPTIONS_RUN, OPTIONS_HELP (usage printed on
// stdout) or OPTIONS_BAD (reason printed on stderr).
int parse_options(int argc, char **argv, sim_options *o);

// "0A1B2C3D" or 14 hex digits. Returns 0, or -1 with a reason in err.
int parse_card(const char *text, sim_card *card, char *err, size_t errlen);

// KIND[=ARG][,cmd=HH][,count=N]. Returns 0, or -1 with a reason in err.
int parse_fault(const char *notation, sim_fault *f, char *err, size_t errlen);

// The fault in its own notation, for log lines.
void fault_text(const sim_fault *f, char *out, size_t outlen);
