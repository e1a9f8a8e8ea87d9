// UDP request handler: any datagram text, with the device's settings file.
#include "tests/fuzz/fuzz_common.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_sandbox_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *in, size_t size)
{
    char text[REQUEST_BUF] = {}; // a datagram as the server reads it
    memcpy(text, in, size < sizeof text ? size : sizeof text - 1);
    mgmt_result res;
    int code = mgmt_handle(text, MGMT_UDP, nullptr, &res), outcome = res.outcome;
    assert(res.data == nullptr);
    assert(code == REQ_UNKNOWN || code == REQ_SEARCH_READER || code == REQ_SET_NET_CONF);
    assert(outcome == -1 || (outcome == 0 && code != REQ_UNKNOWN));
    if (code == REQ_SET_NET_CONF && outcome == 0) {
        NetInfo now = {};
        readNetConfig(&now);
        for (int i = 0; i < NET_ENTRIES; i++) // the entries keep their names
            assert(strcmp(now.entry[i].key, fuzz_saved_net.entry[i].key) == 0);
        assert(writeNetConfig(&fuzz_saved_net) == 0);
    }
    return 0;
}
