// GrantAccess as the simulator serves it: log the request, decide from the
// rules, answer (through the SOAP library, or byte by byte for a fault).
#include "tools/servicesim/sim_service.h"

#include <cstdio>
#include <ctime>
#include <string>

#include "soapH.h"

#include "tools/servicesim/sim_faults.h"
#include "tools/servicesim/sim_reply.h"
#include "tools/servicesim/sim_rules.h"
#include "tools/support/support.h"

namespace
{

const double start_time = now_ms() / 1e3;

// The card text for the log: a line feed as the two characters \n, other
// control bytes as \xHH.
std::string printable(const char *card)
{
    std::string out;
    for (const char *p = card; *p; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        char hex[8];
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c < 0x20 || c == 0x7f) {
            snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else
            out += static_cast<char>(c);
    }
    return out;
}

// Kinds of the faults that apply, comma-separated; empty when none.
std::string fault_list(const sim_faults &faults)
{
    std::string out;
    for (int k = 0; k < FAULT_KINDS; k++) {
        if (faults.active[k])
            out += (out.empty() ? "" : ",") + std::string(sim_fault_name(k));
    }
    return out;
}

bool shapes_answer(const sim_faults &f)
{
    return f.active[FAULT_NOCOLOR] || f.active[FAULT_SHORTCOLOR] || f.active[FAULT_RELAY1] ||
           f.active[FAULT_RELAYWORD] || f.active[FAULT_REORDER] || f.active[FAULT_EXTRA];
}

} // namespace

pthread_mutex_t sim_lock = PTHREAD_MUTEX_INITIALIZER;
unsigned long sim_connections, sim_handshakes;

void sim_sleep_ms(long ms)
{
    timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

double sim_clock(void)
{
    return now_ms() / 1e3 - start_time;
}

int __ns1__GrantAccess(struct soap *ctx, _ns1__GrantAccess *request,
                       _ns1__GrantAccessResponse &response)
{
    const _ns1__GrantAccess_Device &device = request->Device;
    std::string card = device.Passnumber ? device.Passnumber : "";
    if (!card.empty() && card.back() == '\n')
        card.pop_back();
    const sim_conn *conn = static_cast<const sim_conn *>(ctx->user);
    pthread_mutex_lock(&sim_lock);
    sim_answer answer = sim_rules_decide(card);
    sim_faults faults = sim_faults_take();
    std::string kinds = fault_list(faults);

    printf("t=%.3f request dev=%lld card=%s ", sim_clock(), static_cast<long long>(device.DeviceId),
           device.Passnumber ? printable(device.Passnumber).c_str() : "(none)");
    if (kinds.empty())
        printf("decision=%s relay=%d color=%s conn=%lu\n", answer.decision, answer.relay,
               answer.color.c_str(), conn->id);
    else
        printf("fault=%s conn=%lu\n", kinds.c_str(), conn->id);
    pthread_mutex_unlock(&sim_lock);

    if (faults.active[FAULT_DELAY])
        sim_sleep_ms(faults.arg[FAULT_DELAY]);
    if (faults.active[FAULT_STALL]) {
        sim_sleep_ms(SIM_STALL_S * 1000L);
        ctx->keep_alive = 0;
        return SOAP_STOP;
    }

    if (faults.active[FAULT_DROP]) {
        ctx->keep_alive = 0;
        return SOAP_STOP; // no answer; the connection is closed
    }
    if (faults.active[FAULT_TRICKLE]) {
        sim_send_raw(ctx, 200, "text/xml; charset=utf-8", sim_answer_xml(answer, faults),
                     faults.arg[FAULT_TRICKLE]);
        return SOAP_STOP;
    }
    if (faults.active[FAULT_HTTP]) {
        sim_send_raw(ctx, static_cast<int>(faults.arg[FAULT_HTTP]), "text/plain; charset=utf-8",
                     "injected HTTP status\n");
        return SOAP_STOP;
    }
    if (faults.active[FAULT_200]) {
        sim_send_raw(ctx, 200, "text/xml; charset=utf-8", sim_fault_xml());
        return SOAP_STOP;
    }
    if (faults.active[FAULT_500])
        return soap_receiver_fault(ctx, "injected fault", "gatewarden-servicesim");
    if (shapes_answer(faults)) {
        sim_send_raw(ctx, 200, "text/xml; charset=utf-8", sim_answer_xml(answer, faults));
        return SOAP_STOP;
    }

    response.AccessGranted.OpenRelay = answer.relay != 0;
    response.AccessGranted.Color = soap_strdup(ctx, answer.color.c_str());
    return SOAP_OK;
}
