// Network settings file reader: any file content. What is read and can be
// written back reads back the same.
#include "tests/fuzz/fuzz_common.h"

static void read_file(NetInfo *info)
{
    memset(info, 0, sizeof *info);
    assert(readNetConfig(info) == 0);
    for (const NetEntry &e : info->entry) // every field ends within itself
        assert(memchr(e.key, 0, sizeof e.key) && memchr(e.value, 0, sizeof e.value));
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_sandbox_init();
    return 0;
}
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *in, size_t size)
{
    FILE *fp = fopen("/etc/eth0-setting", "we");
    assert(fp && fwrite(in, 1, size, fp) == size && fclose(fp) == 0);
    NetInfo first, again;
    read_file(&first);
    if (writeNetConfig(&first) != 0)
        return 0;
    read_file(&again);
    for (int i = 0; i < NET_ENTRIES; i++)
        assert(!strcmp(first.entry[i].key, again.entry[i].key) &&
               !strcmp(first.entry[i].value, again.entry[i].value));
    return 0;
}
