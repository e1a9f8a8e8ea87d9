// The hardware thread: owns the reader's serial line, runs the commands
// posted in the slot and, when the slot is idle, polls for a card and has
// the access service decide on it.
#include "daemon/hardware.h"

#include <cstring>

#include "access/accessGateClient.h"
#include "common/health.h"
#include "common/log.h"
#include "core/slot.h"
#include "reader/optReader.h"
#include "reader/reader_link.h"

namespace
{

enum { CARD_AREA = 32 }; // card number text of one turn

int run_command(slot_cmd *cmd)
{
    slot_args *a = &cmd->args;

    switch (cmd->code) {
    case SLOT_SET_READER_INFO:
        return setReaderInfo(a->t_relay, a->t_light, a->t_buzzer, a->t_status);
    case SLOT_GET_READER_INFO:
        // Into the snapshot: slot_complete hands the values over on success.
        return getReaderInfo(&a->t_relay, &a->t_light, &a->t_buzzer, &a->t_status);
    case SLOT_BUZZER:
        return ctrReaderBuzzer(a->action);
    case SLOT_RELAY:
        return ctrReaderRelay(a->action);
    case SLOT_LIGHT:
        return ctrReaderLight(a->action);
    case SLOT_DEVICE:
        return ctrReaderDevice(a->light, a->buzzer, a->relay);
    default:
        return -1;
    }
}

} // namespace

void handle_event(void)
{
    reader_link_open();
    for (;;)
        optHardware();
}

int optHardware(void)
{
    char card[CARD_AREA];
    slot_cmd cmd;

    memset(card, 0, sizeof card);
    health_turn(fd1 >= 0);
    reader_link_retry();

    if (slot_take(&cmd) == SLOT_IDLE) {
        if (fd1 < 0) {
            // Nothing to poll: sleep until a post or the next attempt to open.
            long wait = reader_link_retry_wait();
            if (wait > 0)
                slot_wait_posted(wait);
            return 0;
        }
        // The reader sees no more polls than before; a post cuts the pause short.
        long pause = readerPollWait();
        if (pause > 0) {
            slot_wait_posted(pause);
            return 0;
        }
        if (getReaderUid(card) == 0)
            accessGate(card);
        else
            reader_link_check();
        return 0;
    }

    int ret;
    if (fd1 < 0) {
        log_line(LOG_ERR, "Reader port %s not open", READER_DEVICE);
        ret = -1;
    } else {
        ret = run_command(&cmd);
        if (ret != 0)
            reader_link_check();
    }
    slot_complete(&cmd, ret);
    return 0;
}
