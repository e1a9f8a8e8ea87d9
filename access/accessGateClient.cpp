// Access gate client: one GrantAccess call per card, with its own SOAP and
// TLS context, and the reader output that follows the answer.
#include "access/accessGateClient.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <resolv.h>
#include <sys/socket.h>

#include "soapH.h"

#include "access/access_config.h"
#include "access/light_code.h"
#include "access/offline_grace.h"
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

// Waits of one call, as gSOAP takes them (negative: microseconds).
const int SEND_TIMEOUT = -500000;  // 0.5 s for each wait to send
const int RECV_TIMEOUT = -2000000; // 2 s for each wait for data
const char NO_COLOR[] = "(none)";  // printed for an answer without Color
// 2 s to set up the connection: a host that drops connection attempts would
// otherwise hold the reader for the kernel's retries (about 2 minutes).
const int CONNECT_TIMEOUT = -2000000;

// A silent name server would hold a card for the resolver's default retries
// (5 s a try, two tries, per server). This thread's own resolver state (it
// is per thread) is loaded afresh for each card, so a changed file is in
// force, and then allowed one try of RESOLVE_S a server. It is loaded with
// the library's defaults: a state loaded with the bound already in it looks
// untouched to the library, which then reloads it with the defaults itself.
const int RESOLVE_S = 1;
void bound_name_lookup(void)
{
    _res.retrans = 0;
    _res.retry = 0;
    if (res_init() == 0) {
        _res.retrans = RESOLVE_S;
        _res.retry = 1;
    }
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
        puts("card number too long");
        return -1;
    }
    if (!service_url_permitted(url)) {
        puts("GrantAccess failed: the service URL is not https while " PROTECT_CA_FILE " exists");
        return -1;
    }
    char *card = static_cast<char *>(calloc(1, CARD_BUF));
    if (!card) {
        perror("accessGate");
        return -1;
    }
    strcpy(card, cardNum);

    struct soap *ctx = soap_new();
    if (!ctx) {
        perror("accessGate");
        free(card);
        return -1;
    }

    int ret = -1;
    // An http URL builds no TLS context; an https URL verifies the service
    // when PROTECT_CA_FILE exists.
    if (service_tls_setup(ctx, url) == SOAP_OK) {
        puts("-------------------------------------");
        soap_set_namespaces(ctx, namespaces);
        ctx->mode |= SOAP_C_UTFSTRING;
        ctx->imode |= SOAP_C_UTFSTRING;
        ctx->omode |= SOAP_C_UTFSTRING;
        ctx->send_timeout = SEND_TIMEOUT;
        ctx->recv_timeout = RECV_TIMEOUT;
        ctx->connect_timeout = CONNECT_TIMEOUT;
        // Plain sockets: a closed connection gives EPIPE, not SIGPIPE (TLS: the guard below).
        ctx->socket_flags = MSG_NOSIGNAL;
        // A URL without a host makes the library talk over these descriptors
        // instead of a socket: never the process's standard input and output.
        ctx->sendfd = -1;
        ctx->recvfd = -1;

        request.Device.DeviceId = static_cast<LONG64>(devAddr);
        request.Device.In = true;
        request.Device.Passnumber = card;
        printf("devID:%d, Passnumber:%s\n", devAddr, card);

        bound_name_lookup();
        sigpipe_guard guard;
        sigpipe_block(&guard);
        int rc = soap_call___ns1__GrantAccess(ctx, url, soapAction, &request, response);
        sigpipe_restore(&guard);

        if (rc == SOAP_OK) {
            const _ns1__GrantAccessResponse_AccessGranted &granted = response.AccessGranted;
            puts("GrantAccess successful");
            printf("OpenRelay: %s\n", granted.OpenRelay ? "true" : "false");
            printf("Color: %s\n", granted.Color ? granted.Color : NO_COLOR);
            unsigned char light = access_light_code(granted.Color), relay = granted.OpenRelay;
            slot_post_card_answer(light, 0, relay);
            offline_grace_answer(card, relay, light); // after the post: off the card's path
            ret = 0;
        } else {
            puts("GrantAccess failed");
            service_tls_report();
        }
    }
    if (ret != 0) {
        soap_print_fault(ctx, stderr);
        offline_grace_no_answer(card);
    }
    health_card(ret == 0, response.AccessGranted.OpenRelay, soap_fault_string(ctx));

    // Managed C++ objects, then the context's data, then the context itself.
    soap_destroy(ctx);
    soap_end(ctx);
    soap_free(ctx);
    free(card);
    return ret;
}
