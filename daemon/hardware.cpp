// The hardware thread: owns the reader's serial line, runs the commands
// posted in the slot and, when the slot is idle, polls for a card and has
// the access service decide on it.
#include "daemon/hardware.h"

#include <cstring>
#include <poll.h>
#include <unistd.h>

#include "access/accessGateClient.h"
#include "common/health.h"
#include "common/log.h"
#include "common/mono_clock.h"
#include "core/slot.h"
#include "reader/optReader.h"
#include "reader/reader_frame.h"
#include "reader/serial_port.h"

const char READER_DEVICE[] = "/dev/ttymxc2";

namespace
{

enum { READER_BAUD = 9600, READER_DATA_BITS = 8, READER_STOP_BITS = 1 };
const char READER_PARITY = 'N';

enum {
    CARD_AREA = 32,       // card number text of one turn
    PORT_RETRY_MS = 2000, // pause between attempts to open a missing reader port
};

long long next_open_ms; // monotonic time of the next attempt while fd1 < 0

// Opens and configures the reader's port; fd1 is the descriptor or -1.
void open_reader(void)
{
    int fd = open_port(READER_DEVICE);
    if (fd >= 0 &&
        set_port(fd, READER_BAUD, READER_DATA_BITS, READER_STOP_BITS, READER_PARITY) != 0) {
        close(fd);
        fd = -1;
    }
    fd1 = fd;
    next_open_ms = mono_ms() + PORT_RETRY_MS;
}

// While the port is missing it is tried again every PORT_RETRY_MS. The
// device node is looked for first, so a reader that stays away costs no
// message per attempt.
void retry_reader(void)
{
    if (mono_ms() < next_open_ms)
        return;
    next_open_ms = mono_ms() + PORT_RETRY_MS;
    if (access(READER_DEVICE, F_OK) != 0)
        return;
    open_reader();
    if (fd1 >= 0)
        log_line(LOG_INFO, "Reader port %s open", READER_DEVICE);
}

// After a failed exchange: a port whose other end has gone (an unplugged
// adapter, a closed pseudo-terminal) reports a hang-up and answers every
// read at once, which would turn the poll loop into a busy loop. Such a
// port is closed and taken up again like a missing one.
void check_port(void)
{
    pollfd p = {fd1, 0, 0};
    if (poll(&p, 1, 0) <= 0 || !(p.revents & (POLLHUP | POLLERR | POLLNVAL)))
        return;
    close(fd1);
    fd1 = -1;
    next_open_ms = mono_ms() + PORT_RETRY_MS;
    log_line(LOG_WARNING, "Reader port %s lost, trying again every %d s", READER_DEVICE,
             PORT_RETRY_MS / 1000);
}

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
    open_reader();
    if (fd1 < 0)
        log_line(LOG_WARNING, "Reader port %s not available, trying again every %d s",
                 READER_DEVICE, PORT_RETRY_MS / 1000);
    for (;;)
        optHardware();
}

int optHardware(void)
{
    char card[CARD_AREA];
    slot_cmd cmd;

    memset(card, 0, sizeof card);
    health_turn(fd1 >= 0);
    if (fd1 < 0)
        retry_reader();

    if (slot_take(&cmd) == SLOT_IDLE) {
        if (fd1 < 0) {
            // Nothing to poll: sleep until a post or the next attempt to open.
            long wait = static_cast<long>(next_open_ms - mono_ms());
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
            check_port();
        return 0;
    }

    int ret;
    if (fd1 < 0) {
        log_line(LOG_ERR, "Reader port %s not open", READER_DEVICE);
        ret = -1;
    } else {
        ret = run_command(&cmd);
        if (ret != 0)
            check_port();
    }
    slot_complete(&cmd, ret);
    return 0;
}
