// TCP request handler: request text -> request code and outcome -> reply
// text, on a socket pair, with a stub in place of the hardware thread.
// Input: byte 0 (bit 0 set: the reader commands fail), then the request.
#include <cjson/cJSON.h>
#include <pthread.h>
#include <sys/socket.h>

#include "core/slot.h"
#include "netservice/tcpreply.h"
#include "tests/fuzz/fuzz_common.h"

static int reader_result; // the stub's answer; written before each post
static int pair[2];

static void *hardware_stub(void *)
{
    for (slot_cmd cmd;;) {
        if (!slot_wait_posted(1000) || slot_take(&cmd) == SLOT_IDLE)
            continue;
        cmd.args.t_relay = 1, cmd.args.t_light = 2, cmd.args.t_buzzer = 3, cmd.args.t_status = 4;
        slot_complete(&cmd, reader_result);
    }
    return nullptr;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_sandbox_init();
    slot_init();
    pthread_t t;
    assert(pthread_create(&t, nullptr, hardware_stub, nullptr) == 0);
    assert(socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *in, size_t size)
{
    if (size < 1)
        return 0;
    reader_result = (in[0] & 1) ? -1 : 0;
    char text[REQUEST_BUF] = {}, reply[4096]; // a request as the server reads it
    memcpy(text, in + 1, size - 1 < sizeof text ? size - 1 : sizeof text - 1);
    mgmt_result res;
    int code = mgmt_handle(text, MGMT_TCP, nullptr, &res), outcome = res.outcome;
    if (code == REQ_SET_NET_CONF && outcome == 0)
        assert(writeNetConfig(&fuzz_saved_net) == 0);
    if (code >= SLOT_SET_READER_INFO) // a reader command fails when the reader does
        assert(reader_result == 0 || outcome != 0);
    // The reply step reboots after an accepted network change: never here.
    if (code == REQ_SET_NET_CONF)
        res.outcome = -1;
    tcp_reply(pair[0], &res);
    ssize_t got = recv(pair[1], reply, sizeof reply - 1, MSG_DONTWAIT);
    assert(got > 0);
    reply[got] = '\0';
    // {"response": 1 or 0} with "Data" exactly for the information replies.
    cJSON *root = cJSON_Parse(reply);
    const cJSON *response = cJSON_GetObjectItemCaseSensitive(root, "response");
    bool ok = code != REQ_UNKNOWN && code != REQ_SET_NET_CONF && outcome == 0;
    bool info = ok && (code == REQ_GET_NET_CONF || code == REQ_GET_URL_ADDR ||
                       code == SLOT_GET_READER_INFO || code == REQ_GET_STATUS);
    assert(cJSON_IsNumber(response) && response->valueint == (ok ? 1 : 0));
    assert((cJSON_GetObjectItemCaseSensitive(root, "Data") != nullptr) == info);
    cJSON_Delete(root);
    return 0;
}
