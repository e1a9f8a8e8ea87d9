// The namespace table of the GrantAccess contract: defined here once for the
// program, installed in every SOAP context before a call.
#if !defined(WITH_OPENSSL) || !defined(WITH_GZIP) || !defined(WITH_DOM) || !defined(WITH_IPV6)
#error "stdsoap2.h must be compiled with the definitions of the gsoapssl++ library"
#endif

#include "AccessGate.nsmap"
