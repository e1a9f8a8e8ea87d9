#include "access/service_tls.h"

#include <cstdio>
#include <cstring>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <string>

#include "soapH.h"

#include "common/log.h"
#include "settings/protection.h"

namespace
{

// Unverified: no client certificate, the service's certificate neither
// required nor verified, the library's default range of TLS versions. Since
// nothing is verified, the system's CA bundle is not loaded either: parsing
// it would cost tens of milliseconds for every card and change nothing.
const unsigned short UNVERIFIED = SOAP_SSL_NO_AUTHENTICATION | SOAP_SSL_NO_DEFAULT_CA_PATH;
// Verified against PROTECT_CA_FILE alone, never the system's CA bundle.
const unsigned short VERIFIED =
    SOAP_SSL_REQUIRE_SERVER_AUTHENTICATION | SOAP_SSL_NO_DEFAULT_CA_PATH;

// First verification error of the current call (X509_V_OK: none). Calls
// run one at a time on the hardware thread; thread_local all the same, so
// that a call on another thread could never report this one's reason.
thread_local int verify_error = X509_V_OK;

int verify_cb(int ok, X509_STORE_CTX *store)
{
    if (!ok && verify_error == X509_V_OK)
        verify_error = X509_STORE_CTX_get_error(store);
    return ok;
}

// The host of an http(s) URL: between "//" (and a user-information part)
// and the port or path; an IPv6 literal without its brackets.
std::string url_host(const char *url)
{
    const char *p = strstr(url, "//");
    p = p ? p + 2 : url;
    size_t len = strcspn(p, "/?#");
    const char *at = static_cast<const char *>(memrchr(p, '@', len));
    if (at) {
        len -= static_cast<size_t>(at + 1 - p);
        p = at + 1;
    }
    if (*p == '[') {
        const char *end = static_cast<const char *>(memchr(p, ']', len));
        return end ? std::string(p + 1, end) : std::string();
    }
    return std::string(p, strcspn(p, ":/?#"));
}

const char *error_kind(int err)
{
    switch (err) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return "expired";
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return "not yet valid";
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
        return "unknown issuer";
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return "name mismatch";
    default:
        return "invalid";
    }
}

} // namespace

void service_tls_begin(void)
{
    verify_error = X509_V_OK;
}

int service_tls_setup(struct soap *ctx, const char *url)
{
    verify_error = X509_V_OK;
    if (!service_url_https(url))
        return SOAP_OK;
    if (!service_ca_present())
        return soap_ssl_client_context(ctx, UNVERIFIED, nullptr, nullptr, nullptr, nullptr,
                                       nullptr);
    int rc =
        soap_ssl_client_context(ctx, VERIFIED, nullptr, nullptr, PROTECT_CA_FILE, nullptr, nullptr);
    if (rc != SOAP_OK)
        return rc;
    // The host check as part of the chain's verification, so that a
    // mismatch is reported like any other reason; the library checks the
    // name once more after the handshake.
    std::string host = url_host(url);
    X509_VERIFY_PARAM *param = SSL_CTX_get0_param(ctx->ctx);
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    if (host.empty() || (X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) != 1 &&
                         X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size()) != 1))
        return soap_set_sender_error(ctx, "SSL/TLS error", "no host name in the service URL",
                                     SOAP_SSL_ERROR);
    ctx->fsslverify = verify_cb;
    SSL_CTX_set_verify(ctx->ctx, SSL_VERIFY_PEER, verify_cb);
    return SOAP_OK;
}

void service_tls_report(void)
{
    if (verify_error != X509_V_OK)
        log_line(LOG_ERR, "service certificate refused: %s (%s)", error_kind(verify_error),
                 X509_verify_cert_error_string(verify_error));
}
