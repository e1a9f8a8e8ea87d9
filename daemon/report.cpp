#include "daemon/report.h"

#include <string>
#include <unistd.h>

#include "access/access_config.h"
#include "access/offline_grace.h"
#include "common/log.h"
#include "daemon/hardware.h"
#include "netservice/tcpserver.h"
#include "netservice/udpserver.h"
#include "settings/carddb.h"
#include "settings/netconfig.h"
#include "settings/offline_config.h"
#include "settings/readerdb.h"

void report_start(void)
{
    const char *const files[] = {NETCONFIG_PATH, READER_DB_PATH, CARD_DB_PATH};
    std::string found, missing;
    for (const char *f : files)
        (access(f, F_OK) == 0 ? found : missing) += std::string(" ") + f;

    // The store would create a missing file: it is only read when there.
    int dev_addr = 0;
    char url[READER_URL_MAX + 1] = ACCESS_DEFAULT_URL;
    bool have_db = access(READER_DB_PATH, F_OK) == 0;
    bool read_db = have_db && read_DevAddr_Url_Config(&dev_addr, url) == 0;

    char grace[16] = "off";
    if (offline_grace_period() > 0)
        offline_period_text(offline_grace_period(), grace, sizeof grace);
    log_line(LOG_INFO,
             "gatewarden %s: reader %s, UDP %d, TCP %d, service %s, offline grace %s, settings "
             "found:%s%s%s",
             GATEWARDEN_VERSION, READER_DEVICE, UDP_PORT, TCP_PORT, log_mask_urls(url).c_str(),
             grace, found.empty() ? " none" : found.c_str(),
             missing.empty() ? "" : "; missing:", missing.c_str());
    if (!read_db)
        log_line(LOG_WARNING, "%s %s: device address 0 and the built-in service URL %s are used",
                 READER_DB_PATH, have_db ? "cannot be read" : "is missing",
                 log_mask_urls(ACCESS_DEFAULT_URL).c_str());
}
