// Answers that the access service simulator writes itself, byte by byte:
// the ones the SOAP library would not produce (injected faults).
#pragma once

#include <string>

#include "tools/servicesim/sim_faults.h"
#include "tools/servicesim/sim_rules.h"

struct soap;

// The GrantAccessResponse envelope for answer, shaped by the faults nocolor,
// shortcolor, relay1, relayword, reorder and extra.
std::string sim_answer_xml(const sim_answer &answer, const sim_faults &faults);
// A SOAP 1.1 Fault envelope.
std::string sim_fault_xml(void);
// A whole HTTP reply with status and body on the connection of ctx (plain or
// TLS); the connection is closed after it. pace_ms > 0: a byte at a time,
// pace_ms apart. Returns 0, or -1 when the write failed.
int sim_send_raw(struct soap *ctx, int status, const char *content_type, const std::string &body,
                 long pace_ms = 0);
