// The configuration tool's reply reader: where a reply ends in the byte
// stream and what it says. Input: byte 0 (the size of the pieces the stream
// arrives in, less one), then the stream.
#undef NDEBUG // the checks hold in every build
#include <cassert>
#include <cjson/cJSON.h>
#include <cstdint>

#include "tools/ctl/ctl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *in, size_t size)
{
    if (size < 1)
        return 0;
    const char *text = reinterpret_cast<const char *>(in + 1);
    size_t len = size - 1, piece = in[0] + 1u, end = 0, end_cut = 0;
    // However the stream is cut into pieces, the reply ends at the same byte:
    // where an object that the JSON parser finds at the start ends.
    reply_scan whole = {}, cut = {};
    int s = reply_scan_feed(&whole, text, len, &end), s_cut = SCAN_MORE;
    for (size_t at = 0; at < len && s_cut == SCAN_MORE; at += piece) {
        size_t n = len - at < piece ? len - at : piece, used = 0;
        s_cut = reply_scan_feed(&cut, text + at, n, &used);
        end_cut = at + used;
    }
    assert(s_cut == s && (s != SCAN_DONE || end_cut == end));
    const char *parsed_end = nullptr;
    cJSON *ref = cJSON_ParseWithLengthOpts(text, len, &parsed_end, false);
    if (cJSON_IsObject(ref) && text[0] == '{')
        assert(s == SCAN_DONE && text + end == parsed_end);
    cJSON_Delete(ref);
    cJSON *tree = nullptr;
    int response;
    if (s == SCAN_DONE && reply_parse(text, end, &tree, &response) == 0)
        cJSON_Delete(tree);
    return 0;
}
