// The shared command slot: the process-wide variables through which the
// network threads (and the access gate client) hand reader work to the
// hardware thread, the one thread that owns the serial line.
#pragma once

#include <pthread.h>

#include "reader/reader_proto.h"

// Codes posted in opt; each equals the command byte of the operation it runs.
enum {
    SLOT_SET_READER_INFO = READER_CMD_SET_INFO, // 144
    SLOT_GET_READER_INFO = READER_CMD_GET_INFO, // 145
    SLOT_BUZZER = READER_CMD_BUZZER,            // 146
    SLOT_RELAY = READER_CMD_RELAY,              // 147
    SLOT_LIGHT = READER_CMD_LIGHT,              // 148
    SLOT_IDLE = READER_CMD_GET_UID,             // 149: idle, poll for cards
    SLOT_DEVICE = READER_CMD_DEVICE,            // 151
};

extern int opt;    // command code; SLOT_IDLE when nothing is pending
extern int action; // argument of the buzzer, relay and light commands
extern int result; // outcome of the last completed command
extern unsigned char actLight, actBuzzer, actRelay;   // combined output codes
extern unsigned char tRelay, tLight, tBuzzer, status; // reader settings record
extern pthread_mutex_t mutex;                         // goes with cond
extern pthread_cond_t cond;                           // broadcast on every post and completion

// Arguments and, for SLOT_GET_READER_INFO, results of one posted command.
struct slot_args {
    int action;
    unsigned char light, buzzer, relay;                 // SLOT_DEVICE
    unsigned char t_relay, t_light, t_buzzer, t_status; // SLOT_SET/GET_READER_INFO
};

// Initialises mutex and cond (start-up does this once, before any thread).
void slot_init(void);

// Post and wait (network threads). Waits until no command is pending or
// running, writes the command's arguments into the slot globals, posts code,
// and waits until the hardware thread has completed this very command.
// Returns that command's own result (0 or -1), never an outcome stored
// meanwhile for another one.
// For SLOT_GET_READER_INFO the four settings are copied back into *args.
// A code that is no command (SLOT_IDLE, 150, anything else) returns -1 at once.
int slot_post_wait(int code, struct slot_args *args);

// Post without waiting (the access gate client, on the hardware thread).
// Never blocks on the slot: when a command is already pending the card
// answer is held and run on a following turn. Each answer runs once.
void slot_post_card_answer(unsigned char light, unsigned char buzzer, unsigned char relay);

// Hardware thread: one taken command.
struct slot_cmd {
    int code;              // SLOT_IDLE when nothing was pending
    struct slot_args args; // snapshot of the arguments, taken with the code
    void *waiter;          // the requester to complete, or null for a card answer
};

// Takes the pending command, if any: resets opt to SLOT_IDLE, then reads the
// arguments. Returns cmd->code (SLOT_IDLE when there was nothing to do).
int slot_take(struct slot_cmd *cmd);

// Hardware thread, when it has nothing to poll (no reader port): waits until
// a command or a card answer is pending, at most timeout_ms. Returns 1 when
// work is pending, 0 on time-out.
int slot_wait_posted(long timeout_ms);

// Stores ret in result (and hands it to the command's requester), copies the
// reader settings of SLOT_GET_READER_INFO into the slot, and wakes the waiters.
void slot_complete(const struct slot_cmd *cmd, int ret);
