// The GrantAccess request as it leaves the controller, caught at a plain
// loopback socket, and how each kind of answer is read.
#include <arpa/inet.h>
#include <cstdlib>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "access/access_config.h"
#include "settings/readerdb.h"
#include "tests/access/gate_support.h"

namespace
{

std::string soap_envelope(const std::string &body_content)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
           "xmlns:ns1=\"" ACCESS_NS1_URI "\"><SOAP-ENV:Body>" +
           body_content + "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
}

std::string answer_xml(const std::string &access_granted_content)
{
    return soap_envelope("<ns1:GrantAccessResponse><AccessGranted>" + access_granted_content +
                         "</AccessGranted></ns1:GrantAccessResponse>");
}

std::string http_reply(int code, const std::string &body,
                       const std::string &content_type = "text/xml; charset=utf-8")
{
    return "HTTP/1.1 " + std::to_string(code) + " Status\r\nContent-Type: " + content_type +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
           body;
}

// accessGate for card against a loopback peer that sends reply once the
// request (header and Content-Length bytes of body) is in. Returns the
// request as received.
std::string exchange(const std::string &reply, const std::string &card, GateRun *run)
{
    int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    sockaddr *sa = reinterpret_cast<sockaddr *>(&a);
    EXPECT_TRUE(bind(lfd, sa, len) == 0 && listen(lfd, 1) == 0 && getsockname(lfd, sa, &len) == 0);
    EXPECT_TRUE(store_url("http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/ws/x"));

    std::thread gate([&] { *run = run_gate(card); });
    pollfd p = {lfd, POLLIN, 0};
    int fd = poll(&p, 1, 10000) == 1 ? accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    auto complete = [](const std::string &r) {
        size_t end = r.find("\r\n\r\n"), at = r.find("\r\nContent-Length: ");
        return at < end && end != std::string::npos &&
               r.size() >= end + 4 + strtoul(r.c_str() + at + 18, nullptr, 10);
    };
    std::string req;
    char buf[4096];
    // The client gives up after its own time-out.
    for (ssize_t n; fd >= 0 && !complete(req) && (n = recv(fd, buf, sizeof buf, 0)) > 0;)
        req.append(buf, static_cast<size_t>(n));
    if (fd >= 0) {
        send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
        shutdown(fd, SHUT_WR);
    }
    gate.join();
    if (fd >= 0)
        close(fd);
    close(lfd);
    return req;
}

class Wire : public testing::Test
{
  protected:
    void SetUp() override
    {
        slot_reset();
        ASSERT_EQ(writeDevAddr(0), 0);
    }
    GateRun run;
};

} // namespace

// Headers, envelope and the one Body element as sent: children in order,
// unqualified, the device address with its sign, the card's UTF-8 bytes and
// line feed as they are, markup escaped. The Color comes back as bytes; its
// code is bytes 6 to 8.
TEST_F(Wire, RequestBytesAndAnswerBytes)
{
    ASSERT_EQ(writeDevAddr(-2147483647 - 1), 0);
    std::string req = exchange(http_reply(200, answer_xml("<OpenRelay>false</OpenRelay>"
                                                          "<Color>\xC3\xA9"
                                                          "0000101</Color>")),
                               "\xC3\xA9&<>\"\n", &run);
    ASSERT_EQ(run.rc, 0) << run.out << run.err;
    size_t end = req.find("\r\n\r\n");
    ASSERT_NE(end, std::string::npos) << req;
    std::string head = req.substr(0, end + 2), body = req.substr(end + 4);

    EXPECT_EQ(head.compare(0, 21, "POST /ws/x HTTP/1.1\r\n"), 0) << head;
    for (const std::string &line : {std::string("SOAPAction: \"" ACCESS_SOAP_ACTION "\""),
                                    std::string("Content-Type: text/xml; charset=utf-8"),
                                    "Content-Length: " + std::to_string(body.size())})
        EXPECT_NE(head.find("\r\n" + line + "\r\n"), std::string::npos) << line << "\n" << head;
    EXPECT_EQ(head.find("Transfer-Encoding"), std::string::npos) << head;

    for (const char *part :
         {"xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\"",
          "xmlns:ns1=\"" ACCESS_NS1_URI "\"",
          "<SOAP-ENV:Body><ns1:GrantAccess><Device><DeviceId>-2147483648</DeviceId><In>true</In>"
          "<Passnumber>\xC3\xA9&amp;&lt;&gt;\"\n</Passnumber></Device></ns1:GrantAccess>"
          "</SOAP-ENV:Body>"})
        EXPECT_NE(body.find(part), std::string::npos) << part << "\n" << body;
    for (const char *absent : {"encodingStyle", "xsi:type", "Header"})
        EXPECT_EQ(body.find(absent), std::string::npos) << absent;

    EXPECT_NE(run.out.find("devID:-2147483648, Passnumber:\xC3\xA9&<>\"\n\n"), std::string::npos);
    EXPECT_NE(run.out.find("Color: \xC3\xA9"
                           "0000101\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(slot_text(), posted(4, 0));
}

// Answers of the simulator (rules and injected faults) and answers written
// by hand: what is read and posted, what fails and leaves the slot alone.
TEST_F(Wire, AnswersAreReadAsTheContractSays)
{
    const struct {
        const char *what;  // the simulator's options, or the name of the reply
        std::string reply; // written by hand; none: the simulator answers
        std::string slot;  // after the call
        std::string text;  // in the output of an answer, in the fault report of a failure
    } cases[] = {
        {"--deny-all", "", posted(1, 0), "OpenRelay: false\nColor: 000000001\n"},
        {"--grant-all --fault reorder", "", posted(3, 1), "OpenRelay: true\nColor: 000000100\n"},
        // The unknown element holds an OpenRelay true of its own: skipped whole.
        {"--deny-all --fault extra", "", posted(1, 0), "OpenRelay: false\n"},
        {"--deny-all --fault relay1", "", posted(1, 1), "OpenRelay: true\n"},
        {"--grant-all --fault nocolor", "", posted(0, 1), "Color: (none)\n"},
        {"--grant-all --fault shortcolor", "", posted(0, 1), "Color: 00000010\n"},
        {"no AccessGranted", http_reply(200, soap_envelope("<ns1:GrantAccessResponse/>")),
         posted(0, 0), "OpenRelay: false\nColor: (none)\n"},
        {"second OpenRelay",
         http_reply(200, answer_xml("<OpenRelay>false</OpenRelay><OpenRelay>true</OpenRelay>"
                                    "<Color>000000111</Color>")),
         posted(5, 0), "OpenRelay: false\n"},
        {"--grant-all --fault relayword", "", SLOT_UNTOUCHED, "SOAP-ENV:Client"},
        {"--grant-all --fault fault500", "", SLOT_UNTOUCHED,
         "\"injected fault\"\nDetail: gatewarden-servicesim"},
        {"--grant-all --fault http=404", "", SLOT_UNTOUCHED, "404"},
        {"--grant-all --fault drop", "", SLOT_UNTOUCHED, "End of file or no input"},
        {"other namespace",
         http_reply(200, "<S:Envelope xmlns:S=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                         "xmlns:x=\"http://other/\"><S:Body><x:GrantAccessResponse><AccessGranted>"
                         "<OpenRelay>true</OpenRelay></AccessGranted></x:GrantAccessResponse>"
                         "</S:Body></S:Envelope>"),
         SLOT_UNTOUCHED, "SOAP-ENV:Client"},
        {"not XML", http_reply(200, "granted", "text/plain"), SLOT_UNTOUCHED, "HTTP 200"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        slot_reset();
        Service sim;
        if (c.reply.empty()) {
            ASSERT_TRUE(sim.start(c.what));
            run = run_gate("0A1B2C3D\n");
        } else {
            exchange(c.reply, "0A1B2C3D\n", &run);
        }
        if (c.slot == SLOT_UNTOUCHED)
            expect_failed(run);
        else
            EXPECT_EQ(run.rc, 0) << run.err;
        EXPECT_NE((run.rc ? run.err : run.out).find(c.text), std::string::npos)
            << run.out << run.err;
        EXPECT_EQ(slot_text(), c.slot);
    }
}

// The stored URL replaces the default whatever it holds, the empty text
// too. A URL without a host fails without the request going to standard
// output or the answer being taken from standard input (which offers one).
TEST_F(Wire, UrlWithoutHostFailsWithoutTouchingStdio)
{
    int saved_in = dup(0);
    int in[2];
    ASSERT_EQ(pipe(in), 0);
    dup2(in[0], 0);
    std::string answer = http_reply(200, answer_xml("<OpenRelay>true</OpenRelay>"));
    for (std::string url : {"", "nohost", "file:///tmp/x"}) {
        SCOPED_TRACE(url);
        ASSERT_EQ(write(in[1], answer.data(), answer.size()), static_cast<ssize_t>(answer.size()));
        ASSERT_TRUE(store_url(url));
        slot_reset();
        run = run_gate("0A1B2C3D\n");
        EXPECT_EQ(run.out.compare(0, 10 + url.size(), "soap url:" + url + "\n"), 0) << run.out;
        EXPECT_EQ(run.out.find("<?xml"), std::string::npos) << run.out;
        EXPECT_LT(run.ms, 1500);
        expect_failed(run);
    }
    dup2(saved_in, 0);
    close(saved_in);
    close(in[0]);
    close(in[1]);
}
