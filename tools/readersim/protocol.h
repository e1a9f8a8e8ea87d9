// The reader module as the simulator plays it: settings record, outputs,
// presented card, armed faults, and the reply to each request.
#pragma once

#include <cstdint>

#include "reader/reader_proto.h"
#include "tools/readersim/options.h"

enum { PLAN_MAX_BYTES = FRAME_AREA + 16, PLAN_LOG_MAX = 768 };

// What goes back on the line for one request.
struct reply_plan {
    bool none; // nothing is sent
    unsigned char bytes[PLAN_MAX_BYTES];
    int len;
    int turn_us;  // the module's turnaround before this reply
    int late_ms;  // the reply starts this much later
    int split_at; // a pause falls before this byte (0: no pause)
    int split_ms;
    char log[PLAN_LOG_MAX]; // the tx line, printed when the first byte goes out
    bool quiet;             // an idle poll under --quiet-polls: nothing logged
};

struct sim_module {
    unsigned char info[READER_INFO_LEN];
    int light, buzzer, relay;
    sim_card card;
    bool present;
    bool hold;
    bool quiet_polls;
    sim_fault faults[SIM_MAX_FAULTS];
    int nfaults;
    int turnaround_ms, jitter_ms, fault_percent;
    uint64_t rng;
};

void module_init(sim_module *m, const sim_options *o, uint64_t seed);

// A card comes (replacing one still there) or goes; both are logged.
void module_present(sim_module *m, const sim_card *card);
void module_remove(sim_module *m);

// Arms a fault and logs "fault armed FAULT". Returns -1 when too many are armed.
int module_arm(sim_module *m, const sim_fault *f);

// Handles one valid request frame: logs it, updates the module and plans
// the reply.
void module_request(sim_module *m, unsigned char cmd, const unsigned char *data, int n,
                    reply_plan *plan);
