#include "common/netaddr.h"

#include <arpa/inet.h>
#include <cstring>

int netaddr_check_ipv4(const char *text)
{
    in_addr a;
    return inet_pton(AF_INET, text, &a) == 1 ? 0 : -1;
}

int netaddr_check_mask(const char *text)
{
    in_addr a;
    if (inet_pton(AF_INET, text, &a) != 1)
        return -1;
    unsigned long inv = ~ntohl(a.s_addr) & 0xFFFFFFFFul;
    // Contiguous ones from the top: the inverted mask plus one is a power of two.
    return (inv & (inv + 1)) == 0 ? 0 : -1;
}

int netaddr_check_mac(const char *text)
{
    static const char hex[] = "0123456789abcdefABCDEF";
    if (strlen(text) != 17)
        return -1;
    for (int k = 0; k < 17; k++) {
        bool sep = k % 3 == 2;
        if (sep ? text[k] != ':' : strchr(hex, text[k]) == nullptr)
            return -1;
    }
    return 0;
}
