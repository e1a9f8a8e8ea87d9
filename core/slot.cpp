// The shared command slot and its hand-off.
//
// A requester's command is completed through a record on the requester's own
// stack (struct waiter): the hardware thread writes that command's result and
// done flag into it, so a requester can neither miss its completion nor take
// the outcome of another command (a card answer completes at any time and
// broadcasts cond too). A card answer posted while the slot is taken is held
// in card_answer and moved into the slot on a later turn, so neither post
// replaces the other. A requester posts only while no command is pending or
// running, so the completion of one command (145 writes the settings) never
// meets the arguments of the next in the slot globals.
#include "core/slot.h"

#include <cerrno>
#include <ctime>

int opt = SLOT_IDLE;
int action = 0;
int result = 0;
unsigned char actLight = 0, actBuzzer = 0, actRelay = 0;
unsigned char tRelay = 0, tLight = 0, tBuzzer = 0, status = 0;
pthread_mutex_t mutex;
pthread_cond_t cond;

namespace
{

struct waiter {
    int done;
    int result;
    slot_args *args; // where 145 delivers the reader's settings
};

waiter *pending_waiter; // requester of the code in opt; null for a card answer
bool running;           // a taken command has not been completed yet

struct held_answer {
    bool held;
    unsigned char light, buzzer, relay;
} card_answer;

bool is_posted_code(int code)
{
    switch (code) {
    case SLOT_SET_READER_INFO:
    case SLOT_GET_READER_INFO:
    case SLOT_BUZZER:
    case SLOT_RELAY:
    case SLOT_LIGHT:
    case SLOT_DEVICE:
        return true;
    default:
        return false;
    }
}

void write_args(int code, const slot_args *a)
{
    switch (code) {
    case SLOT_SET_READER_INFO:
        tRelay = a->t_relay;
        tLight = a->t_light;
        tBuzzer = a->t_buzzer;
        status = a->t_status;
        break;
    case SLOT_BUZZER:
    case SLOT_RELAY:
    case SLOT_LIGHT:
        action = a->action;
        break;
    case SLOT_DEVICE:
        actLight = a->light;
        actBuzzer = a->buzzer;
        actRelay = a->relay;
        break;
    default:
        break;
    }
}

void read_args(slot_args *a)
{
    a->action = action;
    a->light = actLight;
    a->buzzer = actBuzzer;
    a->relay = actRelay;
    a->t_relay = tRelay;
    a->t_light = tLight;
    a->t_buzzer = tBuzzer;
    a->t_status = status;
}

} // namespace

void slot_init(void)
{
    pthread_mutex_init(&mutex, nullptr);
    pthread_cond_init(&cond, nullptr);
}

int slot_post_wait(int code, slot_args *args)
{
    waiter me = {0, -1, args};

    // Nothing would ever complete a code that is no command.
    if (!is_posted_code(code))
        return -1;
    pthread_mutex_lock(&mutex);
    // A held card answer goes first: the person at the gate is waiting.
    while (opt != SLOT_IDLE || card_answer.held || running)
        pthread_cond_wait(&cond, &mutex);
    write_args(code, args);
    pending_waiter = &me;
    opt = code;
    pthread_cond_broadcast(&cond); // a hardware thread without a reader waits for posts
    while (!me.done)
        pthread_cond_wait(&cond, &mutex);
    pthread_mutex_unlock(&mutex);
    return me.result;
}

void slot_post_card_answer(unsigned char light, unsigned char buzzer, unsigned char relay)
{
    pthread_mutex_lock(&mutex);
    if (opt == SLOT_IDLE) {
        actLight = light;
        actRelay = relay;
        actBuzzer = buzzer;
        pending_waiter = nullptr;
        opt = SLOT_DEVICE;
    } else {
        card_answer = {true, light, buzzer, relay};
    }
    pthread_mutex_unlock(&mutex);
}

int slot_wait_posted(long timeout_ms)
{
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeout_ms / 1000;
    deadline.tv_nsec += (timeout_ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec++;
        deadline.tv_nsec -= 1000000000L;
    }

    pthread_mutex_lock(&mutex);
    int rc = 0;
    while (!is_posted_code(opt) && !card_answer.held && rc != ETIMEDOUT)
        rc = pthread_cond_clockwait(&cond, &mutex, CLOCK_MONOTONIC, &deadline);
    int pending = is_posted_code(opt) || card_answer.held;
    pthread_mutex_unlock(&mutex);
    return pending;
}

int slot_take(slot_cmd *cmd)
{
    pthread_mutex_lock(&mutex);
    if (opt == SLOT_IDLE && card_answer.held) {
        actLight = card_answer.light;
        actRelay = card_answer.relay;
        actBuzzer = card_answer.buzzer;
        card_answer.held = false;
        pending_waiter = nullptr;
        opt = SLOT_DEVICE;
    }
    cmd->code = opt;
    cmd->waiter = nullptr;
    if (is_posted_code(cmd->code)) {
        opt = SLOT_IDLE;
        read_args(&cmd->args);
        cmd->waiter = pending_waiter;
        pending_waiter = nullptr;
        running = true;
    } else if (cmd->code != SLOT_IDLE) {
        cmd->code = SLOT_IDLE; // not a command: nothing to run
    }
    pthread_mutex_unlock(&mutex);
    return cmd->code;
}

void slot_complete(const slot_cmd *cmd, int ret)
{
    pthread_mutex_lock(&mutex);
    if (cmd->code == SLOT_GET_READER_INFO && ret == 0) {
        tRelay = cmd->args.t_relay;
        tLight = cmd->args.t_light;
        tBuzzer = cmd->args.t_buzzer;
        status = cmd->args.t_status;
    }
    result = ret;
    running = false;
    if (cmd->waiter) {
        waiter *w = static_cast<waiter *>(cmd->waiter);
        if (cmd->code == SLOT_GET_READER_INFO && ret == 0) {
            // Handed back to this requester as the reader gave them.
            w->args->t_relay = cmd->args.t_relay;
            w->args->t_light = cmd->args.t_light;
            w->args->t_buzzer = cmd->args.t_buzzer;
            w->args->t_status = cmd->args.t_status;
        }
        w->result = ret;
        w->done = 1;
    }
    pthread_cond_broadcast(&cond);
    pthread_mutex_unlock(&mutex);
}
