#include "settings/protection.h"

#include <strings.h>
#include <sys/stat.h>

bool service_ca_present(void)
{
    struct stat st;
    return lstat(PROTECT_CA_FILE, &st) == 0;
}

bool service_url_https(const char *url)
{
    return url && strncasecmp(url, "https://", 8) == 0;
}

bool service_url_permitted(const char *url)
{
    return service_url_https(url) || !service_ca_present();
}
