#include "tools/servicesim/sim_reply.h"

#include <cstdio>

#include "stdsoap2.h"

#include "access/access_config.h"
#include "tools/servicesim/sim_service.h"

namespace
{

const char ENVELOPE_BEGIN[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "xmlns:ns1=\"" ACCESS_NS1_URI "\"><SOAP-ENV:Body>";
const char ENVELOPE_END[] = "</SOAP-ENV:Body></SOAP-ENV:Envelope>\n";

std::string xml_escape(const std::string &text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

const char *reason_phrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Injected";
    }
}

} // namespace

std::string sim_answer_xml(const sim_answer &answer, const sim_faults &faults)
{
    std::string relay = answer.relay ? "true" : "false";
    if (faults.active[FAULT_RELAY1])
        relay = "1";
    if (faults.active[FAULT_RELAYWORD])
        relay = "yes";
    std::string color = answer.color;
    if (faults.active[FAULT_SHORTCOLOR] && color.size() > 8)
        color.resize(8);

    std::string relay_xml = "<OpenRelay>" + relay + "</OpenRelay>";
    std::string color_xml;
    if (!faults.active[FAULT_NOCOLOR])
        color_xml = "<Color>" + xml_escape(color) + "</Color>";
    std::string extra_xml;
    if (faults.active[FAULT_EXTRA])
        extra_xml = "<Extra kind=\"injected\"><OpenRelay>true</OpenRelay><Note>x</Note></Extra>";

    std::string inner =
        faults.active[FAULT_REORDER] ? color_xml + relay_xml : relay_xml + color_xml;
    return std::string(ENVELOPE_BEGIN) + "<ns1:GrantAccessResponse><AccessGranted>" + extra_xml +
           inner + "</AccessGranted></ns1:GrantAccessResponse>" + ENVELOPE_END;
}

std::string sim_fault_xml(void)
{
    return std::string(ENVELOPE_BEGIN) +
           "<SOAP-ENV:Fault><faultcode>SOAP-ENV:Server</faultcode>"
           "<faultstring>injected fault</faultstring>"
           "<detail>gatewarden-servicesim</detail></SOAP-ENV:Fault>" +
           ENVELOPE_END;
}

int sim_send_raw(struct soap *ctx, int status, const char *content_type, const std::string &body,
                 long pace_ms)
{
    char head[256];
    int n = snprintf(head, sizeof head,
                     "HTTP/1.1 %d %s\r\nServer: gatewarden-servicesim\r\n"
                     "Content-Type: %s\r\nContent-Length: %zu\r\nConnection: close\r\n\r\n",
                     status, reason_phrase(status), content_type, body.size());
    std::string reply(head, static_cast<size_t>(n));
    reply += body;
    // fsend goes through TLS when the connection has it.
    int rc = SOAP_OK;
    if (pace_ms <= 0)
        rc = ctx->fsend(ctx, reply.data(), reply.size());
    for (size_t i = 0; pace_ms > 0 && i < reply.size() && rc == SOAP_OK; i++) {
        rc = ctx->fsend(ctx, reply.data() + i, 1);
        sim_sleep_ms(pace_ms);
    }
    ctx->keep_alive = 0;
    return rc == SOAP_OK ? 0 : -1;
}
