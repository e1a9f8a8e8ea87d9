#include "tools/readersim/protocol.h"

#include <cstdio>
#include <cstring>

#include "reader/reader_frame.h"
#include "tools/readersim/simlog.h"

namespace
{

// The module's own answers (its choice, not the controller's).
enum : unsigned char {
    STATUS_FAIL = 0x01,
    ERR_NO_CARD = 0x01,
    ERR_BAD_LENGTH = 0x02,
    ERR_UNKNOWN_CMD = 0x03,
};

// Identifier reply: three leading bytes (0, identifier length, 0), then the
// identifier, least significant byte first.
enum { UID_HEAD = UID_DATA_OFFSET, GARBAGE_BYTES = 8 };

const unsigned char DEFAULT_INFO[READER_INFO_LEN] = {0x03, 0x03, 0x01, 0x00, 0x01, 0x00};

const char *command_name(unsigned char cmd)
{
    switch (cmd) {
    case READER_CMD_SET_INFO:
        return "set-info";
    case READER_CMD_GET_INFO:
        return "get-info";
    case READER_CMD_BUZZER:
        return "buzzer";
    case READER_CMD_RELAY:
        return "relay";
    case READER_CMD_LIGHT:
        return "light";
    case READER_CMD_GET_UID:
        return "poll";
    case READER_CMD_DEVICE:
        return "device";
    default:
        return "unknown";
    }
}

bool is_output(unsigned char cmd)
{
    return cmd == READER_CMD_BUZZER || cmd == READER_CMD_RELAY || cmd == READER_CMD_LIGHT ||
           cmd == READER_CMD_DEVICE;
}

uint64_t next_random(sim_module *m)
{
    // xorshift64*
    m->rng ^= m->rng >> 12;
    m->rng ^= m->rng << 25;
    m->rng ^= m->rng >> 27;
    return m->rng * 0x2545F4914F6CDD1DULL;
}

// Takes the first armed fault that applies to cmd, using up one of its count.
bool take_fault(sim_module *m, unsigned char cmd, sim_fault *out)
{
    for (int i = 0; i < m->nfaults; i++) {
        sim_fault *f = &m->faults[i];
        if (f->cmd != FAULT_ANY_CMD && f->cmd != cmd)
            continue;
        *out = *f;
        if (--f->count == 0) {
            memmove(f, f + 1, sizeof *f * static_cast<size_t>(m->nfaults - i - 1));
            m->nfaults--;
        }
        return true;
    }
    return false;
}

// A fault of a random kind, for --random-faults.
sim_fault random_fault(sim_module *m)
{
    static const fault_kind kinds[] = {FAULT_SILENCE, FAULT_LATE,  FAULT_SPLIT,
                                       FAULT_BADCRC,  FAULT_NOEND, FAULT_GARBAGE,
                                       FAULT_STATUS,  FAULT_SHORT, FAULT_NOISE};
    sim_fault f = {};
    f.kind = kinds[next_random(m) % (sizeof kinds / sizeof kinds[0])];
    f.cmd = FAULT_ANY_CMD;
    f.count = 1;
    f.arg = -1;
    if (f.kind == FAULT_LATE)
        f.arg = 100 + static_cast<int>(next_random(m) % 800);
    else if (f.kind == FAULT_SPLIT)
        f.arg = 5 + static_cast<int>(next_random(m) % 100);
    else if (f.kind == FAULT_STATUS)
        f.arg = 1 + static_cast<int>(next_random(m) % 255);
    else if (f.kind == FAULT_NOISE)
        f.arg = 1 + static_cast<int>(next_random(m) % 3);
    return f;
}

struct answer {
    unsigned char status;
    unsigned char data[FRAME_MAX_DATA];
    int n;
};

void fail_answer(answer *a, unsigned char code)
{
    a->status = STATUS_FAIL;
    a->data[0] = code;
    a->n = 1;
}

// Identifier record of a card (a 4-byte zero card stands in when none is there).
void uid_answer(const sim_module *m, answer *a)
{
    static const sim_card none = {{0}, 4, "00000000"};
    const sim_card *c = m->present ? &m->card : &none;
    a->status = READER_STATUS_OK;
    a->data[0] = 0x00;
    a->data[1] = static_cast<unsigned char>(c->len);
    a->data[2] = 0x00;
    memcpy(a->data + UID_HEAD, c->id, static_cast<size_t>(c->len));
    a->n = UID_HEAD + c->len;
}

// The module's regular answer; outputs and settings change here.
void regular_answer(sim_module *m, unsigned char cmd, const unsigned char *data, int n,
                    bool refused, answer *a)
{
    a->status = READER_STATUS_OK;
    a->n = 0;
    switch (cmd) {
    case READER_CMD_SET_INFO:
        if (n != READER_INFO_LEN)
            return fail_answer(a, ERR_BAD_LENGTH);
        if (!refused)
            memcpy(m->info, data, READER_INFO_LEN);
        return;
    case READER_CMD_GET_INFO:
        memcpy(a->data, m->info, READER_INFO_LEN);
        a->n = READER_INFO_LEN;
        return;
    case READER_CMD_BUZZER:
        if (!refused)
            m->buzzer = 1;
        return;
    case READER_CMD_RELAY:
        if (!refused)
            m->relay = 1;
        return;
    case READER_CMD_LIGHT:
        if (!refused)
            m->light = 1;
        return;
    case READER_CMD_DEVICE:
        if (n != DEVICE_DATA_LEN)
            return fail_answer(a, ERR_BAD_LENGTH);
        if (!refused) {
            m->light = data[DEVICE_DATA_LIGHT];
            m->buzzer = data[DEVICE_DATA_BUZZER];
            m->relay = data[DEVICE_DATA_RELAY];
        }
        return;
    case READER_CMD_GET_UID:
        if (!m->present)
            return fail_answer(a, ERR_NO_CARD);
        return uid_answer(m, a);
    default:
        return fail_answer(a, ERR_UNKNOWN_CMD);
    }
}

void apply_short(sim_module *m, unsigned char cmd, int arg, answer *a)
{
    if (cmd == READER_CMD_GET_UID)
        uid_answer(m, a); // an identifier reply, card or not
    int keep = arg >= 0 ? arg : a->n - 1;
    if (keep < 0)
        keep = 0;
    if (keep < a->n)
        a->n = keep;
}

void apply_noise(sim_module *m, int count, reply_plan *p)
{
    bool hit[PLAN_MAX_BYTES] = {};
    if (count > p->len)
        count = p->len;
    for (int done = 0; done < count;) {
        int at = static_cast<int>(next_random(m) % static_cast<uint64_t>(p->len));
        if (hit[at])
            continue;
        hit[at] = true;
        p->bytes[at] ^= static_cast<unsigned char>(1 + next_random(m) % 255);
        done++;
    }
}

void plan_garbage(sim_module *m, reply_plan *p)
{
    p->len = GARBAGE_BYTES;
    for (int i = 0; i < p->len; i++)
        p->bytes[i] = static_cast<unsigned char>(next_random(m));
    if (p->bytes[0] == FRAME_START)
        p->bytes[0] ^= 0xFF;
}

void log_rx(unsigned char cmd, const unsigned char *data, int n)
{
    char hex[2 * FRAME_AREA + 1];
    hex_text(hex, data, n);
    simlog("rx %02X %s%s%s", cmd, command_name(cmd), n > 0 ? " data=" : "", hex);
}

void describe_tx(const answer *a, const sim_fault *f, bool faulted, reply_plan *p)
{
    char hex[2 * FRAME_AREA + 1], ftext[64] = "", bytes[2 * PLAN_MAX_BYTES + 1];
    if (faulted)
        fault_text(f, ftext, sizeof ftext);
    hex_text(bytes, p->bytes, p->len);
    if (faulted && f->kind == FAULT_GARBAGE) {
        snprintf(p->log, sizeof p->log, "tx garbage=%s (fault garbage)", bytes);
        return;
    }
    hex_text(hex, a->data, a->n);
    int used = snprintf(p->log, sizeof p->log, "tx status=%02X%s%s", a->status,
                        a->n > 0 ? " data=" : "", hex);
    if (faulted && used > 0 && static_cast<size_t>(used) < sizeof p->log) {
        bool altered = f->kind == FAULT_BADCRC || f->kind == FAULT_NOEND || f->kind == FAULT_NOISE;
        snprintf(p->log + used, sizeof p->log - static_cast<size_t>(used), " (fault %s)%s%s", ftext,
                 altered ? " bytes=" : "", altered ? bytes : "");
    }
}

} // namespace

void module_init(sim_module *m, const sim_options *o, uint64_t seed)
{
    memset(m, 0, sizeof *m);
    memcpy(m->info, DEFAULT_INFO, sizeof m->info);
    m->hold = o->hold;
    m->quiet_polls = o->quiet_polls;
    m->rng = seed ? seed : 0x9E3779B97F4A7C15ULL;
    m->turnaround_ms = o->turnaround_ms;
    m->jitter_ms = o->jitter_ms;
    m->fault_percent = o->fault_percent;
    for (int i = 0; i < o->nfaults; i++)
        m->faults[m->nfaults++] = o->faults[i];
}

void module_present(sim_module *m, const sim_card *card)
{
    if (m->present)
        module_remove(m);
    m->card = *card;
    m->present = true;
    simlog("card %s presented", card->text);
}

void module_remove(sim_module *m)
{
    if (!m->present)
        return;
    m->present = false;
    simlog("card removed");
}

int module_arm(sim_module *m, const sim_fault *f)
{
    if (m->nfaults == SIM_MAX_FAULTS)
        return -1;
    m->faults[m->nfaults++] = *f;
    char text[64];
    fault_text(f, text, sizeof text);
    simlog("fault armed %s", text);
    return 0;
}

void module_request(sim_module *m, unsigned char cmd, const unsigned char *data, int n,
                    reply_plan *p)
{
    memset(p, 0, sizeof *p);
    sim_fault f = {};
    bool faulted = take_fault(m, cmd, &f);
    if (!faulted && m->fault_percent > 0 &&
        next_random(m) % 100 < static_cast<uint64_t>(m->fault_percent)) {
        f = random_fault(m);
        faulted = true;
    }
    p->quiet = !faulted && m->quiet_polls && cmd == READER_CMD_GET_UID && !m->present;
    if (!p->quiet)
        log_rx(cmd, data, n);

    bool refused = faulted && f.kind == FAULT_STATUS;
    answer a;
    regular_answer(m, cmd, data, n, refused, &a);
    if (refused)
        fail_answer(&a, static_cast<unsigned char>(f.arg));
    if (faulted && f.kind == FAULT_SHORT)
        apply_short(m, cmd, f.arg, &a);
    if (is_output(cmd))
        simlog("out light=%d buzzer=%d relay=%d", m->light, m->buzzer, m->relay);

    p->turn_us = m->turnaround_ms * 1000;
    if (m->jitter_ms > 0)
        p->turn_us += static_cast<int>(next_random(m) % static_cast<uint64_t>(m->jitter_ms * 1000));
    if (faulted && f.kind == FAULT_SILENCE) {
        p->none = true;
        snprintf(p->log, sizeof p->log, "tx none (fault silence)");
        simlog("%s", p->log);
        return;
    }
    if (faulted && f.kind == FAULT_GARBAGE) {
        plan_garbage(m, p);
    } else {
        p->len = frame_build(p->bytes, a.status, a.data, a.n);
        // A card answered with its identifier (however mangled on the way)
        // has been read; a one-read presentation ends there.
        if (cmd == READER_CMD_GET_UID && m->present && a.status == READER_STATUS_OK && !m->hold)
            module_remove(m);
    }
    if (faulted) {
        switch (f.kind) {
        case FAULT_LATE:
            p->late_ms = f.arg;
            break;
        case FAULT_SPLIT:
            p->split_at = p->len / 2;
            p->split_ms = f.arg;
            break;
        case FAULT_BADCRC:
            p->bytes[p->len - 2] ^= 0xFF;
            break;
        case FAULT_NOEND:
            p->len--;
            break;
        case FAULT_NOISE:
            apply_noise(m, f.arg, p);
            break;
        default:
            break;
        }
    }
    describe_tx(&a, &f, faulted, p);
}
