// gatewardenctl against a fake controller on loopback: the exact request
// bytes of every TCP subcommand, reading of the formatted replies, exit statuses.
#include "tests/ctl/ctl_harness.h"

#include <gtest/gtest.h>

namespace
{

std::vector<std::string> with_port(const FakeController &fake, std::vector<std::string> args)
{
    args.insert(args.begin(), {"-p", std::to_string(fake.port())});
    return args;
}

const std::string READER_INFO =
    "{\n\t\"response\":\t1,\n\t\"Data\":\t{\n\t\t\"devAddr\":\t7,\n"
    "\t\t\"tRelay\":\t10,\n\t\t\"tLight\":\t20,\n\t\t\"tBuzzer\":\t30,\n"
    "\t\t\"Status\":\t1\n\t}\n}";
const std::string NET_INFO =
    "{\n\t\"response\":\t1,\n\t\"Data\":\t{\n\t\t\"IP\":\t\"192.0.2.10\",\n"
    "\t\t\"Mask\":\t\"255.255.255.0\",\n\t\t\"Gateway\":\t\"192.0.2.1\",\n"
    "\t\t\"DNS\":\t\"192.0.2.1\",\n\t\t\"MAC\":\t\"02:00:00:00:00:01\"\n\t}\n}";

struct RequestCase {
    std::vector<std::string> args;
    std::string request;
};

TEST(CtlTcp, EachSubcommandSendsItsExactRequestAndWaitsForTheReply)
{
    const RequestCase cases[] = {
        {{"reader", "get"}, R"({"Command":"CMD_GetReaderInfo"})"},
        {{"reader", "set", "--devaddr", "-3", "--relay", "10", "--light", "20", "--buzzer", "30",
          "--status", "255"},
         R"({"Command":"CMD_SetReaderInfo","Data":{"devAddr":-3,"tRelay":10,"tLight":20,"tBuzzer":30,"Status":255}})"},
        {{"buzzer"}, R"({"Command":"CMD_CtrBuzzer"})"},
        {{"relay"}, R"({"Command":"CMD_CtrRelay"})"},
        {{"light"}, R"({"Command":"CMD_CtrLight"})"},
        {{"output", "--light", "3", "--relay", "1"},
         R"({"Command":"CMD_CtrDevice","Data":{"Light":3,"Buzzer":0,"Relay":1}})"},
        {{"output", "--light=5", "--buzzer=2", "--relay=0"},
         R"({"Command":"CMD_CtrDevice","Data":{"Light":5,"Buzzer":2,"Relay":0}})"},
        {{"net", "get"}, R"({"Command":"CMD_GetNetConf"})"},
        {{"net", "set", "--ip", "192.0.2.20"},
         R"({"Command":"CMD_SetNetConf","Data":{"IP":"192.0.2.20","Mask":"","Gateway":"","DNS":"","MAC":""}})"},
        {{"net", "set", "--ip", "10.1.2.3", "--mask", "255.255.0.0", "--gateway", "10.1.0.1",
          "--dns", "10.1.0.2", "--mac", "02:AB:cd:00:00:09"},
         R"({"Command":"CMD_SetNetConf","Data":{"IP":"10.1.2.3","Mask":"255.255.0.0","Gateway":"10.1.0.1","DNS":"10.1.0.2","MAC":"02:AB:cd:00:00:09"}})"},
        {{"url", "get"}, R"({"Command":"CMD_GetUrlAddr"})"},
        {{"url", "set", "https://svc.example/ws/AccessGate?a=1&b=\"2\""},
         R"({"Command":"CMD_SetUrlAddr","Data":"https://svc.example/ws/AccessGate?a=1&b=\"2\""})"},
        {{"raw", "{\"command\":\"CMD_CtrRelay\", \"Data\": 5}  trailing"},
         "{\"command\":\"CMD_CtrRelay\", \"Data\": 5}  trailing"},
    };
    for (const auto &c : cases) {
        FakeController fake;
        std::string reply = c.args[0] == "reader" && c.args[1] == "get" ? READER_INFO
                            : c.args[0] == "net" && c.args[1] == "get"  ? NET_INFO
                            : c.args[0] == "url" && c.args[1] == "get"
                                ? "{\n\t\"response\":\t1,\n\t\"Data\":\t\"http://h/x\"\n}"
                                : plain_reply(1);
        fake.script({{{reply}, 0, false, false}});
        CtlResult r = run_ctl(with_port(fake, c.args));
        SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
        EXPECT_EQ(r.status, 0) << r.err;
        auto seen = fake.seen(1);
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].request, c.request);
        // The controller ends a request by silence: the tool must not close
        // before the reply, and closes after it.
        EXPECT_FALSE(seen[0].eof_in_request);
        EXPECT_TRUE(seen[0].client_closed);
    }
}

TEST(CtlTcp, ReaderSetWithSomeOptionsKeepsTheOthersFromAReadFirst)
{
    FakeController fake;
    fake.script({{{READER_INFO}, 0, false, false}, {{plain_reply(1)}, 0, false, false}});
    CtlResult r = run_ctl(with_port(fake, {"reader", "set", "--relay", "5"}));
    EXPECT_EQ(r.status, 0) << r.err;
    auto seen = fake.seen(2);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].request, R"({"Command":"CMD_GetReaderInfo"})");
    EXPECT_EQ(
        seen[1].request,
        R"({"Command":"CMD_SetReaderInfo","Data":{"devAddr":7,"tRelay":5,"tLight":20,"tBuzzer":30,"Status":1}})");

    // When the read is refused nothing is written.
    FakeController refusing;
    refusing.script({{{plain_reply(0)}, 0, false, false}});
    r = run_ctl(with_port(refusing, {"reader", "set", "--devaddr", "4"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(refusing.connections(), 1);
}

TEST(CtlTcp, FormattedRepliesBecomeTablesOrStayAsSentWithJson)
{
    FakeController fake;
    fake.script({{{READER_INFO}, 0, false, false},
                 {{NET_INFO}, 0, false, false},
                 {{READER_INFO}, 0, false, false},
                 {{plain_reply(1)}, 0, false, false}});
    CtlResult r = run_ctl(with_port(fake, {"reader", "get"}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "devAddr  7\ntRelay   10\ntLight   20\ntBuzzer  30\nStatus   1\n");
    r = run_ctl(with_port(fake, {"net", "get"}));
    EXPECT_EQ(r.out, "IP       192.0.2.10\nMask     255.255.255.0\nGateway  192.0.2.1\n"
                     "DNS      192.0.2.1\nMAC      02:00:00:00:00:01\n");
    r = run_ctl(with_port(fake, {"--json", "reader", "get"}));
    EXPECT_EQ(r.out, READER_INFO + "\n");
    r = run_ctl(with_port(fake, {"relay"}));
    EXPECT_EQ(r.out, "ok\n");
}

TEST(CtlTcp, ReplySplitAcrossReadsIsGatheredUntilTheOutermostBraceCloses)
{
    // Pieces cut inside a key, after an inner closing brace and before the last one.
    FakeController fake;
    fake.script({{{READER_INFO.substr(0, 20), READER_INFO.substr(20, 60),
                   READER_INFO.substr(80, READER_INFO.size() - 81), "}"},
                  150,
                  false,
                  false}});
    CtlResult r = run_ctl(with_port(fake, {"--json", "reader", "get"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, READER_INFO + "\n");
    EXPECT_GE(r.ms, 3 * 150 + 200);
}

TEST(CtlTcp, BracesQuotesAndBackslashesInsideStringsDoNotEndTheReply)
{
    // The first piece ends with what would close the object if strings were
    // not minded: "}" inside the URL, after an escaped quote.
    const std::string head = "{\n\t\"response\":\t1,\n\t\"Data\":\t\"http://h/a\\\"}";
    const std::string tail = "{b}\\\\}\"\n}";
    FakeController fake;
    fake.script(
        {{{head, tail}, 300, false, false}, {{"{\"response\":1,\"Data\":\"x\\u0007\\n\"}"}}});
    CtlResult r = run_ctl(with_port(fake, {"url", "get"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "URL  http://h/a\"}{b}\\}\n");
    // Control characters of a reply are shown, not passed to the terminal.
    r = run_ctl(with_port(fake, {"url", "get"}));
    EXPECT_EQ(r.out, "URL  x\\x07\\x0A\n");
}

TEST(CtlTcp, ExitStatusesTellDoneRefusedUsageAndNoAnswer)
{
    FakeController fake;
    fake.script({{{plain_reply(0)}, 0, false, false},
                 {{"{\"response\":0}"}, 0, false, false},
                 {{}, 0, false, true},
                 {{"HTTP/1.0 400 Bad Request\r\n\r\n"}, 0, false, false},
                 {{"{\"Data\":1}"}, 0, false, false},
                 {{"{\n\t\"response\":\t1"}, 0, false, true}});
    CtlResult r = run_ctl(with_port(fake, {"relay"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("refused CMD_CtrRelay"), std::string::npos) << r.err;
    r = run_ctl(with_port(fake, {"--json", "url", "get"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "{\"response\":0}\n");       // the controller's own reply, still shown
    r = run_ctl(with_port(fake, {"net", "get"})); // closed without answering
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("without answering"), std::string::npos) << r.err;
    r = run_ctl(with_port(fake, {"net", "get"})); // not JSON at all
    EXPECT_EQ(r.status, 3);
    r = run_ctl(with_port(fake, {"net", "get"})); // no "response"
    EXPECT_EQ(r.status, 3);
    r = run_ctl(with_port(fake, {"net", "get"})); // cut short by a close
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(fake.connections(), 6);
}

TEST(CtlTcp, ServerThatNeverAnswersEndsInNoAnswerAfterTheTimeout)
{
    FakeController fake;
    fake.script({{{}, 0, true, false}});
    CtlResult r = run_ctl(with_port(fake, {"-t", "700", "buzzer"}));
    EXPECT_EQ(r.status, 3);
    EXPECT_GE(r.ms, 700);
    EXPECT_LT(r.ms, 8000);
    EXPECT_NE(r.err.find("no reply"), std::string::npos) << r.err;
    EXPECT_EQ(fake.seen(1).size(), 1u); // the held connection ended when the tool gave up
}

TEST(CtlTcp, NothingListeningIsNoAnswer)
{
    int port;
    {
        FakeController gone;
        port = gone.port();
    }
    CtlResult r = run_ctl({"-p", std::to_string(port), "net", "get"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("connection refused"), std::string::npos) << r.err;
}

TEST(CtlTcp, BadUsageIsRefusedBeforeAnythingIsSent)
{
    FakeController fake;
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"frobnicate"},
        {"reader"},
        {"reader", "put"},
        {"reader", "set"},
        {"reader", "set", "--relay", "256"},
        {"reader", "set", "--relay", "-1"},
        {"reader", "set", "--light", "2.5"},
        {"reader", "set", "--devaddr", "99999999999"},
        {"output", "--light"},
        {"output", "--colour", "3"},
        {"relay", "extra"},
        {"net", "set"},
        {"net", "set", "--ip", "192.0.2.300"},
        {"net", "set", "--mask", "255.0.255.0"},
        {"net", "set", "--mac", "02:00:00:00:00"},
        {"url", "set"},
        {"url", "set", "ftp://host/x"},
        {"url", "set", "http://host/a b"},
        {"url", "set", "http://" + std::string(250, 'a')},
        {"raw", "{\"Command\":\"CMD_SetUrlAddr\",\"Data\":\"" + std::string(1000, 'a') + "\"}"},
        {"-t", "0", "net", "get"},
        {"--port", "70000", "net", "get"},
        {"--json=1", "net", "get"},
    };
    for (const auto &args : bad) {
        CtlResult r = run_ctl(with_port(fake, args));
        std::string joined;
        for (const auto &a : args)
            joined += a.substr(0, 30) + " ";
        EXPECT_EQ(r.status, 2) << joined << "\n" << r.err;
        EXPECT_FALSE(r.err.empty()) << joined;
    }
    EXPECT_EQ(fake.connections(), 0);
    // Help is not an error.
    CtlResult r = run_ctl({"url", "set", "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("usage: gatewardenctl url set URL"), std::string::npos);
}

} // namespace
