// Faults that the access service simulator injects into its answers.
#pragma once

enum { SIM_STALL_S = 60 };

enum sim_fault_kind {
    FAULT_DELAY,      // delay=MS: wait MS milliseconds before answering
    FAULT_500,        // fault500: a SOAP Fault with HTTP status 500
    FAULT_200,        // fault200: a SOAP Fault with HTTP status 200
    FAULT_HTTP,       // http=CODE: an HTTP status line CODE and no SOAP answer
    FAULT_DROP,       // drop: close the connection without an answer
    FAULT_NOCOLOR,    // nocolor: no Color element
    FAULT_SHORTCOLOR, // shortcolor: Color cut to eight characters
    FAULT_RELAY1,     // relay1: OpenRelay written "1"
    FAULT_RELAYWORD,  // relayword: OpenRelay written "yes"
    FAULT_REORDER,    // reorder: Color before OpenRelay
    FAULT_EXTRA,      // extra: an unknown element inside AccessGranted
    FAULT_STALL,      // stall: no answer, the connection held open for SIM_STALL_S
    FAULT_TRICKLE,    // trickle=MS: the answer written a byte every MS milliseconds
    FAULT_KINDS
};

// The faults of one request: active[k] is set for each kind that applies,
// arg[k] holds its argument (delay=MS, http=CODE).
struct sim_faults {
    bool active[FAULT_KINDS];
    long arg[FAULT_KINDS];
};

// KIND[=ARG][,count=N]: for every request, or for the next N. Returns 0, or
// -1 with a message on stderr.
int sim_fault_add(const char *arg);

// The faults for the next request (counts taken down).
sim_faults sim_faults_take(void);

// Name of a kind as written in --fault.
const char *sim_fault_name(int kind);
