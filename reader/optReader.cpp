// Reader module operations: one exchange each, with a 500 ms reply wait.
#include "reader/optReader.h"

#include <cstdio>
#include <cstring>

#include "common/health.h"
#include "common/log.h"
#include "reader/reader_exchange.h"
#include "reader/reader_frame.h"
#include "reader/reader_proto.h"

namespace
{

enum { EXCHANGE_READER_ERROR = -2 }; // optFunction: valid reply, failure status

enum { UID_SHORT_BYTES = 4, UID_LONG_BYTES = 7 }; // identifier bytes in either reply

struct reply {
    unsigned char data[FRAME_AREA];
    int len;
};

void report(const char *what, unsigned char code)
{
    log_line(LOG_ERR, "%s error: %02X", what, code);
}

// One exchange with a cleared out area, so the byte shown after an invalid
// reply (no reader error code) is 00. Returns 0, or -1 after printing the
// failure message of the operation named what (none when what is null);
// after a time-out it says that the reader did not answer.
int exchange(unsigned char cmd, unsigned char *data, int n, reply *r, const char *what)
{
    memset(r->data, 0, sizeof r->data);
    r->len = 0;
    int ret = optFunction(cmd, data, n, r->data, &r->len, READER_REPLY_WAIT_MS);
    health_exchange(cmd == READER_CMD_GET_UID, ret != -1);
    if (ret == 0)
        return 0;
    if (what && ret != EXCHANGE_READER_ERROR && exchange_silent())
        log_line(LOG_ERR, "%s error: no answer from the reader", what);
    else if (what)
        report(what, ret == EXCHANGE_READER_ERROR ? r->data[0] : 0);
    return -1;
}

int control(int action, unsigned char cmd, const char *what)
{
    if (action == 0)
        return 0;
    reply r;
    return exchange(cmd, nullptr, 0, &r, what);
}

// The identifier bytes come least significant first; the text starts with
// the last of them.
void uid_text(char *text, const unsigned char *id, int count)
{
    char *p = text;
    for (int i = count - 1; i >= 0; i--, p += 2)
        snprintf(p, 3, "%02X", id[i]);
    p[0] = '\n';
    p[1] = '\0';
}

} // namespace

int setReaderInfo(unsigned char relay, unsigned char light, unsigned char buzzer,
                  unsigned char status)
{
    unsigned char rec[READER_INFO_LEN];
    rec[READER_INFO_RELAY] = relay;
    rec[READER_INFO_LIGHT] = light;
    rec[READER_INFO_BUZZER] = buzzer;
    rec[READER_INFO_FIXED0] = 0x00;
    rec[READER_INFO_FIXED1] = 0x01;
    rec[READER_INFO_STATUS] = status;
    reply r;
    return exchange(READER_CMD_SET_INFO, rec, READER_INFO_LEN, &r, "Set reader info");
}

// A reply that is not the six-byte record is refused rather than read past.
int getReaderInfo(unsigned char *relay, unsigned char *light, unsigned char *buzzer,
                  unsigned char *status)
{
    static const char what[] = "Get reader info";
    reply r;
    if (exchange(READER_CMD_GET_INFO, nullptr, 0, &r, what) != 0)
        return -1;
    if (r.len != READER_INFO_LEN) {
        report(what, 0);
        return -1;
    }
    *relay = r.data[READER_INFO_RELAY];
    *light = r.data[READER_INFO_LIGHT];
    *buzzer = r.data[READER_INFO_BUZZER];
    *status = r.data[READER_INFO_STATUS];
    return 0;
}

int ctrReaderBuzzer(int action)
{
    return control(action, READER_CMD_BUZZER, "Control reader buzzer");
}

int ctrReaderRelay(int action)
{
    return control(action, READER_CMD_RELAY, "Control reader relay");
}

int ctrReaderLight(int action)
{
    return control(action, READER_CMD_LIGHT, "Control reader light");
}

int ctrReaderDevice(unsigned char light, unsigned char buzzer, unsigned char relay)
{
    unsigned char codes[DEVICE_DATA_LEN];
    codes[DEVICE_DATA_LIGHT] = light;
    codes[DEVICE_DATA_BUZZER] = buzzer;
    codes[DEVICE_DATA_RELAY] = relay;
    reply r;
    return exchange(READER_CMD_DEVICE, codes, DEVICE_DATA_LEN, &r, "Control reader device");
}

int ctrReaderDevLight(unsigned char light)
{
    return ctrReaderDevice(light, 0, 0);
}

int ctrReaderDevBuzzer(unsigned char buzzer)
{
    return ctrReaderDevice(0, buzzer, 0);
}

int ctrReaderDevRelay(unsigned char relay)
{
    return ctrReaderDevice(0, 0, relay);
}

// Only the two reply sizes that carry a whole identifier give a card number:
// exactly 7 data bytes (4-byte identifier) or exactly 10 (7-byte). Anything
// else is no card, never a number padded with bytes that were not received.
int uid_reply_text(char *text, const unsigned char *data, int len)
{
    if (!frame_is_uid(READER_STATUS_OK, len))
        return -1;
    const unsigned char *id = data + UID_DATA_OFFSET;
    uid_text(text, id, len == UID_SHORT_REPLY ? UID_SHORT_BYTES : UID_LONG_BYTES);
    return 0;
}

// Cards are handed out in the order they were read: a card whose reply came
// late is read first, without a poll, and the poll's own card waits behind
// one kept during its exchange.
int getReaderUid(char *text)
{
    reply r;
    r.len = 0;
    if (exchange_take_card(r.data, &r.len) == 0)
        return uid_reply_text(text, r.data, r.len);
    if (exchange(READER_CMD_GET_UID, nullptr, 0, &r, nullptr) == 0 &&
        frame_is_uid(READER_STATUS_OK, r.len))
        exchange_hold_card(r.data, r.len);
    if (exchange_take_card(r.data, &r.len) != 0)
        return -1;
    return uid_reply_text(text, r.data, r.len);
}

long readerPollWait(void)
{
    long quiet = exchange_quiet_ms();
    return quiet >= READER_SILENCE_MS ? 0 : READER_SILENCE_MS - quiet;
}
