// The GrantAccess request as it leaves the controller, caught at a plain
// loopback socket, and answers written byte by byte.
#include <gtest/gtest.h>

#include "access/access_config.h"
#include "settings/readerdb.h"
#include "tests/access/gate_support.h"

namespace
{

const std::string GRANT_100 = answer_xml("<OpenRelay>true</OpenRelay><Color>000000100</Color>");

class Wire : public testing::Test
{
  protected:
    void SetUp() override
    {
        slot_reset();
        ASSERT_EQ(writeDevAddr(0), 0);
    }
    // accessGate against a peer that answers reply; the request it sent.
    GateRun call(RawPeer &peer, const std::string &card)
    {
        std::string url = peer.url();
        EXPECT_EQ(writeUrlConfig(&url[0]), 0);
        return run_gate(card);
    }
};

TEST_F(Wire, RequestCarriesDeviceAndCardInOrderUnqualified)
{
    RawPeer peer(http_reply(200, GRANT_100));
    GateRun run = call(peer, "0A1B2C3D\n");
    ASSERT_EQ(run.rc, 0) << run.out << run.err;
    std::string head = peer.header(), body = peer.body();

    EXPECT_EQ(head.compare(0, 30, "POST /ws/AccessGate HTTP/1.1\r\n"), 0) << head;
    EXPECT_EQ(header_value(head, "soapaction"), "\"" ACCESS_SOAP_ACTION "\"");
    EXPECT_EQ(header_value(head, "content-type"), "text/xml; charset=utf-8");
    EXPECT_EQ(header_value(head, "content-length"), std::to_string(body.size()));
    EXPECT_EQ(header_value(head, "transfer-encoding"), "<none>");

    // SOAP 1.1 envelope, the ns1 URI declared, nothing encoded or typed.
    EXPECT_NE(body.find("xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\""),
              std::string::npos);
    EXPECT_NE(body.find("xmlns:ns1=\"" ACCESS_NS1_URI "\""), std::string::npos);
    EXPECT_EQ(body.find("encodingStyle"), std::string::npos);
    EXPECT_EQ(body.find("xsi:type"), std::string::npos);
    EXPECT_EQ(body.find("Header"), std::string::npos);
    // Exactly one element in the Body, the children in order, unqualified,
    // the card's line feed sent as it is.
    EXPECT_NE(body.find("<SOAP-ENV:Body><ns1:GrantAccess><Device><DeviceId>0</DeviceId>"
                        "<In>true</In><Passnumber>0A1B2C3D\n</Passnumber></Device>"
                        "</ns1:GrantAccess></SOAP-ENV:Body>"),
              std::string::npos)
        << body;
}

TEST_F(Wire, DeviceAddressTravelsWithItsSign)
{
    ASSERT_EQ(writeDevAddr(-2147483647 - 1), 0);
    RawPeer peer(http_reply(200, GRANT_100));
    GateRun run = call(peer, "04A1B2C3D4E5F6\n");
    EXPECT_EQ(run.rc, 0);
    EXPECT_NE(peer.body().find("<DeviceId>-2147483648</DeviceId>"), std::string::npos);
    EXPECT_NE(run.out.find("devID:-2147483648, Passnumber:04A1B2C3D4E5F6\n\n"), std::string::npos)
        << run.out;
}

// UTF-8 goes out and comes back as bytes, without character references;
// markup characters are escaped.
TEST_F(Wire, Utf8BytesPassUnchangedAndMarkupIsEscaped)
{
    RawPeer peer(
        http_reply(200, answer_xml("<OpenRelay>false</OpenRelay><Color>\xC3\xA9\x30\x30\x30\x30"
                                   "101</Color>")));
    GateRun run = call(peer, "\xC3\xA9&<>\"\n");
    ASSERT_EQ(run.rc, 0) << run.err;
    EXPECT_NE(peer.body().find("<Passnumber>\xC3\xA9&amp;&lt;&gt;\"\n</Passnumber>"),
              std::string::npos)
        << peer.body();
    EXPECT_NE(run.out.find("devID:0, Passnumber:\xC3\xA9&<>\"\n\n"), std::string::npos);
    // The colour code is taken from bytes 6 to 8.
    EXPECT_NE(run.out.find("Color: \xC3\xA9\x30\x30\x30\x30"
                           "101\n"),
              std::string::npos)
        << run.out;
    SlotState s = slot_state();
    EXPECT_EQ(s.opt, 151);
    EXPECT_EQ(s.light, 4u);
    EXPECT_EQ(s.relay, 0u);
}

struct AnswerCase {
    const char *name;
    std::string reply;
    int rc;
    unsigned light, relay; // after an answer
    const char *printed;   // a line the call prints
};

class Answers : public Wire, public testing::WithParamInterface<AnswerCase>
{
};

TEST_P(Answers, AreReadAsTheContractSays)
{
    const AnswerCase &c = GetParam();
    RawPeer peer(c.reply);
    GateRun run = call(peer, "0A1B2C3D\n");
    EXPECT_EQ(run.rc, c.rc) << run.out << run.err;
    EXPECT_NE(run.out.find(c.printed), std::string::npos) << run.out;
    SlotState s = slot_state();
    if (c.rc == 0) {
        EXPECT_EQ(s.opt, 151);
        EXPECT_EQ(s.light, c.light);
        EXPECT_EQ(s.relay, c.relay);
        EXPECT_EQ(s.buzzer, 0u);
    } else {
        EXPECT_EQ(run.out.substr(run.out.size() - 19), "GrantAccess failed\n");
        EXPECT_FALSE(run.err.empty());
        EXPECT_EQ(s.opt, 149);
        EXPECT_EQ(s.light, UNTOUCHED);
        EXPECT_EQ(s.relay, UNTOUCHED);
        EXPECT_EQ(s.buzzer, UNTOUCHED);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Wire, Answers,
    testing::Values(
        AnswerCase{"NoAccessGrantedReadsAsFalseAndNoColor",
                   http_reply(200, soap_envelope("<ns1:GrantAccessResponse/>")), 0, 0, 0,
                   "OpenRelay: false\nColor: (none)\n"},
        AnswerCase{"SecondOpenRelayIsSkipped",
                   http_reply(200, answer_xml("<OpenRelay>false</OpenRelay><OpenRelay>true"
                                              "</OpenRelay><Color>000000111</Color>")),
                   0, 5, 0, "OpenRelay: false\n"},
        AnswerCase{"ZeroDigitIsFalse",
                   http_reply(200, answer_xml("<OpenRelay>0</OpenRelay><Color>000000010</Color>")),
                   0, 2, 0, "OpenRelay: false\n"},
        AnswerCase{"SoapTwelveEnvelopeIsAccepted",
                   http_reply(200,
                              "<e:Envelope xmlns:e=\"http://www.w3.org/2003/05/soap-envelope\" "
                              "xmlns:n=\"" ACCESS_NS1_URI "\"><e:Body><n:GrantAccessResponse>"
                              "<AccessGranted><OpenRelay>true</OpenRelay><Color>000000001</Color>"
                              "</AccessGranted></n:GrantAccessResponse></e:Body></e:Envelope>",
                              "application/soap+xml; charset=utf-8"),
                   0, 1, 1, "GrantAccess successful\n"},
        AnswerCase{"EmptyOpenRelayFails",
                   http_reply(200, answer_xml("<OpenRelay></OpenRelay><Color>000000100</Color>")),
                   -1, 0, 0, "GrantAccess failed\n"},
        AnswerCase{"OtherNamespaceFails",
                   http_reply(200, "<?xml version=\"1.0\"?><S:Envelope xmlns:S=\"http://schemas."
                                   "xmlsoap.org/soap/envelope/\" xmlns:x=\"http://other/\"><S:Body>"
                                   "<x:GrantAccessResponse><AccessGranted><OpenRelay>true"
                                   "</OpenRelay></AccessGranted></x:GrantAccessResponse></S:Body>"
                                   "</S:Envelope>"),
                   -1, 0, 0, "GrantAccess failed\n"},
        AnswerCase{"NotXmlFails", http_reply(200, "granted", "text/plain"), -1, 0, 0,
                   "GrantAccess failed\n"},
        AnswerCase{"TruncatedBodyFails",
                   http_reply(200, GRANT_100).substr(0, http_reply(200, GRANT_100).size() - 40), -1,
                   0, 0, "GrantAccess failed\n"},
        AnswerCase{"SoapTwelveFaultFails",
                   http_reply(500,
                              "<e:Envelope xmlns:e=\"http://www.w3.org/2003/05/soap-envelope\">"
                              "<e:Body><e:Fault><e:Code><e:Value>e:Receiver</e:Value></e:Code>"
                              "<e:Reason><e:Text xml:lang=\"en\">card unknown</e:Text>"
                              "</e:Reason></e:Fault></e:Body></e:Envelope>",
                              "application/soap+xml; charset=utf-8"),
                   -1, 0, 0, "GrantAccess failed\n"}),
    [](const testing::TestParamInfo<AnswerCase> &p) { return std::string(p.param.name); });

// The fault's string and detail are what the fault report shows.
TEST_F(Wire, FaultReasonIsReported)
{
    RawPeer peer(http_reply(500, soap_envelope("<SOAP-ENV:Fault><faultcode>SOAP-ENV:Client"
                                               "</faultcode><faultstring>card blocked"
                                               "</faultstring><detail>ask the desk</detail>"
                                               "</SOAP-ENV:Fault>")));
    GateRun run = call(peer, "0A1B2C3D\n");
    EXPECT_EQ(run.rc, -1);
    EXPECT_NE(run.err.find("card blocked"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("ask the desk"), std::string::npos) << run.err;
}

} // namespace
