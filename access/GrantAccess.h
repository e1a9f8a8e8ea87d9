// GrantAccess: the one operation of the access service, as this controller
// sends and reads it. Input of soapcpp2, which generates the classes, the
// serialisers, the namespace table `namespaces`, the client call
// soap_call___ns1__GrantAccess and the server skeleton at build time.
//
// SOAP 1.1, document style, literal use; local elements unqualified. The
// namespace URI below must equal ACCESS_NS1_URI in access/access_config.h.

//gsoap ns1 service name: AccessGate
//gsoap ns1 service style: document
//gsoap ns1 service encoding: literal
//gsoap ns1 schema namespace: http://accessgate/
//gsoap ns1 schema elementForm: unqualified
//gsoap ns1 schema attributeForm: unqualified

// Type ns1:GrantAccess-Device.
class _ns1__GrantAccess_Device
{
  public:
    LONG64 DeviceId 1;  // the reader's device address
    bool In 1;          // always true
    char *Passnumber 1; // the card number text, line feed included
};

// Element ns1:GrantAccess, the request.
class _ns1__GrantAccess
{
  public:
    _ns1__GrantAccess_Device Device 1;
    struct soap *soap;
};

// Type ns1:GrantAccessResponse-AccessGranted.
class _ns1__GrantAccessResponse_AccessGranted
{
  public:
    bool OpenRelay 1; // true: open the relay
    char *Color 1;    // characters 6 to 8: the light code
};

// Element ns1:GrantAccessResponse, the answer.
class _ns1__GrantAccessResponse
{
  public:
    _ns1__GrantAccessResponse_AccessGranted AccessGranted 1;
    struct soap *soap;
};

// No wrapper of its own on the wire: the Body holds ns1:GrantAccess and
// ns1:GrantAccessResponse directly.
int __ns1__GrantAccess(_ns1__GrantAccess *ns1__GrantAccess,
                       _ns1__GrantAccessResponse &ns1__GrantAccessResponse);
