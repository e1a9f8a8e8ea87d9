// Access gate client: one GrantAccess call per card, over the kept
// connection to the access service, and the reader output that follows the
// answer.
#include "access/accessGateClient.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "soapH.h"

#include "access/access_config.h"
#include "access/card_text.h"
#include "access/light_code.h"
#include "access/offline_grace.h"
#include "access/service_conn.h"
#include "access/service_tls.h"
#include "access/sigpipe_guard.h"
#include "common/health.h"
#include "common/log.h"
#include "core/slot.h"
#include "settings/protection.h"
#include "settings/readerdb.h"

namespace
{

enum {
    URL_BUF = READER_URL_MAX + 1, // service URL, stored URL, SOAPAction
    CARD_BUF = 32,                // card number copy, NUL included
};

const char NO_COLOR[] = "(none)"; // printed for an answer without Color

// The failure line of a card, with the card (without its line feed) and the
// service's URL (without its user information), so that an error-level
// line alone says which card and which service.
void report_failed(const char *card, const char *url, const char *why)
{
    size_t len = card_text_len(card);
    log_line(LOG_ERR, "GrantAccess failed: card %.*s, service %s%s", static_cast<int>(len), card,
             log_mask_urls(url).c_str(), why);
}

} // namespace

int accessGate(char *cardNum)
{
    _ns1__GrantAccess request;
    _ns1__GrantAccessResponse response;
    char url[URL_BUF];
    char soapAction[URL_BUF];
    char storedUrl[URL_BUF];
    int devAddr = 0;

    copy_url(url, URL_BUF, ACCESS_DEFAULT_URL);
    copy_url(soapAction, URL_BUF, ACCESS_SOAP_ACTION);
    memset(storedUrl, 0, sizeof storedUrl);

    // On failure the settings store prints its own message; the default URL
    // and device address 0 stay.
    if (read_DevAddr_Url_Config(&devAddr, storedUrl) == 0)
        copy_url(url, URL_BUF, storedUrl);
    printf("soap url:%s\n", log_mask_urls(url).c_str());

    if (!cardNum)
        return -1;
    if (strlen(cardNum) >= CARD_BUF) {
        log_line(LOG_ERR, "card number too long");
        return -1;
    }
    if (!service_url_permitted(url)) {
        report_failed(cardNum, url,
                      ": the service URL is not https while " PROTECT_CA_FILE " exists");
        return -1;
    }
    char *card = static_cast<char *>(calloc(1, CARD_BUF));
    if (!card) {
        perror("accessGate");
        return -1;
    }
    strcpy(card, cardNum);

    int ret = -1;
    // Closing a kept TLS connection writes too: the guard spans the whole use.
    sigpipe_guard guard;
    sigpipe_block(&guard);
    struct soap *ctx;
    // An http URL builds no TLS context; an https URL verifies the service
    // when PROTECT_CA_FILE exists.
    if (service_conn_take(url, &ctx) == SOAP_OK) {
        puts("-------------------------------------");
        request.Device.DeviceId = static_cast<LONG64>(devAddr);
        request.Device.In = true;
        request.Device.Passnumber = card;
        printf("devID:%d, Passnumber:%s\n", devAddr, card);

        int rc;
        do
            rc = soap_call___ns1__GrantAccess(ctx, url, soapAction, &request, response);
        while (rc != SOAP_OK && service_conn_retry(ctx));

        if (rc == SOAP_OK) {
            // The service decided.
            const _ns1__GrantAccessResponse_AccessGranted &granted = response.AccessGranted;
            puts("GrantAccess successful");
            printf("OpenRelay: %s\n", granted.OpenRelay ? "true" : "false");
            printf("Color: %s\n", granted.Color ? granted.Color : NO_COLOR);
            unsigned char light = access_light_code(granted.Color), relay = granted.OpenRelay;
            slot_post_card_answer(light, 0, relay);
            offline_grace_answer(card, relay, light); // after the post: off the card's path
            ret = 0;
        } else {
            // No decision.
            char why[64] = "";
            if (service_conn_expired(ctx))
                snprintf(why, sizeof why, ": no answer within %d s",
                         SERVICE_CALL_DEADLINE_MS / 1000);
            report_failed(card, url, why);
            service_tls_report();
        }
    }
    if (ret != 0) {
        soap_print_fault(ctx, stderr);
        offline_grace_no_answer(card);
    }
    health_card(ret == 0, response.AccessGranted.OpenRelay, soap_fault_string(ctx));
    // The answer's data is released; the connection stays for the next card
    // when the service keeps it.
    service_conn_give(ctx, ret == 0);
    sigpipe_restore(&guard);
    free(card);
    return ret;
}
