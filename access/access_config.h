// The access service's identity as this controller knows it. The namespace
// URI and the default endpoint belong to the service description; they are
// written down here and nowhere else.
#pragma once

// ns1 namespace URI of the GrantAccess contract (the SOAPAction is this
// followed by "GrantAccess"). Must match the //gsoap ns1 schema namespace in
// GrantAccess.h.
#define ACCESS_NS1_URI "http://accessgate/"
#define ACCESS_SOAP_ACTION ACCESS_NS1_URI "GrantAccess"

// Used when /etc/reader.db cannot be read: HTTPS, default port.
#define ACCESS_DEFAULT_URL "https://accessgate/ws/AccessGate"

// While this file exists, every card gets a connection of its own, closed
// after the call, as the service's answer is read (no connection is kept or
// set up ahead). Looked at for every card.
#define ACCESS_KEEP_OFF_FILE "/etc/gatewarden/no-keepalive"
