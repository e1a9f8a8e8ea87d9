// accessGate against the access service simulator: what each answer does to
// the command slot and what the call prints; calls that get no answer.
#include <csignal>
#include <gtest/gtest.h>
#include <unistd.h>

#include "settings/readerdb.h"
#include "tests/access/gate_support.h"

namespace
{

class Answers : public testing::Test
{
  protected:
    void SetUp() override
    {
        slot_reset();
        ASSERT_EQ(writeDevAddr(0), 0);
    }
    void expect_untouched(const GateRun &run)
    {
        EXPECT_EQ(run.rc, -1);
        ASSERT_GE(run.out.size(), 19u);
        EXPECT_EQ(run.out.substr(run.out.size() - 19), "GrantAccess failed\n") << run.out;
        EXPECT_FALSE(run.err.empty());
        SlotState s = slot_state();
        EXPECT_EQ(s.opt, 149);
        EXPECT_EQ(s.light, UNTOUCHED);
        EXPECT_EQ(s.relay, UNTOUCHED);
        EXPECT_EQ(s.buzzer, UNTOUCHED);
    }
    Service svc;
};

TEST_F(Answers, GrantedCardPrintsTheAnswerAndPostsTheOutput)
{
    ASSERT_TRUE(svc.start({"--grant-all"}));
    ASSERT_EQ(writeDevAddr(7), 0);
    GateRun run = run_gate("0A1B2C3D\n");
    EXPECT_EQ(run.rc, 0);
    EXPECT_EQ(run.out, "soap url:" + svc.url +
                           "\n-------------------------------------\n"
                           "devID:7, Passnumber:0A1B2C3D\n\n"
                           "GrantAccess successful\nOpenRelay: true\nColor: 000000100\n");
    EXPECT_EQ(run.err, "");
    SlotState s = slot_state();
    EXPECT_EQ(s.opt, 151);
    EXPECT_EQ(s.light, 3u);
    EXPECT_EQ(s.relay, 1u);
    EXPECT_EQ(s.buzzer, 0u);
    std::vector<std::string> req = svc.requests();
    ASSERT_EQ(req.size(), 1u);
    EXPECT_EQ(req[0], "request dev=7 card=0A1B2C3D\\n decision=grant relay=1 color=000000100");
}

// A refused card is shown, not ignored.
TEST_F(Answers, RefusedCardStillPostsTheOutput)
{
    ASSERT_TRUE(svc.start({"--deny-all"}));
    GateRun run = run_gate("04A1B2C3D4E5F6\n");
    EXPECT_EQ(run.rc, 0);
    EXPECT_NE(run.out.find("GrantAccess successful\nOpenRelay: false\nColor: 000000001\n"),
              std::string::npos);
    SlotState s = slot_state();
    EXPECT_EQ(s.opt, 151);
    EXPECT_EQ(s.light, 1u);
    EXPECT_EQ(s.relay, 0u);
    EXPECT_EQ(s.buzzer, 0u);
}

TEST_F(Answers, LightCodeTable)
{
    struct Row {
        const char *color;
        unsigned light;
    } rows[] = {
        {"000000000", 0}, {"000000001", 1}, {"000000010", 2}, {"000000100", 3}, {"000000101", 4},
        {"000000111", 5}, {"000000011", 0}, {"000000110", 0}, {"abcdef101", 4}, {"00000010199", 4},
        {"00000010", 0},  {"0000001", 0},   {"000000", 0},    {"", 0},          {"000000 10", 0},
        {"00000010x", 0},
    };
    std::vector<std::string> args;
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++)
        args.insert(args.end(), {"--card", "C" + std::to_string(i) + "=" + std::to_string(i % 2) +
                                               "," + rows[i].color});
    ASSERT_TRUE(svc.start(args));
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        SCOPED_TRACE(rows[i].color);
        slot_reset();
        GateRun run = run_gate("C" + std::to_string(i) + "\n");
        EXPECT_EQ(run.rc, 0) << run.err;
        EXPECT_NE(run.out.find(std::string("Color: ") + rows[i].color + "\n"), std::string::npos);
        SlotState s = slot_state();
        EXPECT_EQ(s.opt, 151);
        EXPECT_EQ(s.light, rows[i].light);
        EXPECT_EQ(s.relay, i % 2);
        EXPECT_EQ(s.buzzer, 0u);
    }
}

// Answers shaped unlike the declarations that the contract still accepts.
TEST_F(Answers, ShapesThatAreAccepted)
{
    struct Case {
        std::vector<std::string> args;
        unsigned light, relay;
        const char *printed;
    } cases[] = {
        {{"--grant-all", "--fault", "reorder"}, 3, 1, "OpenRelay: true\nColor: 000000100\n"},
        // The unknown element holds an OpenRelay true of its own: skipped whole.
        {{"--deny-all", "--fault", "extra"}, 1, 0, "OpenRelay: false\nColor: 000000001\n"},
        {{"--deny-all", "--fault", "relay1"}, 1, 1, "OpenRelay: true\n"},
        {{"--grant-all", "--fault", "nocolor"}, 0, 1, "OpenRelay: true\nColor: (none)\n"},
        {{"--grant-all", "--fault", "shortcolor"}, 0, 1, "Color: 00000010\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args.back());
        Service one;
        ASSERT_TRUE(one.start(c.args));
        slot_reset();
        GateRun run = run_gate("0A1B2C3D\n");
        EXPECT_EQ(run.rc, 0) << run.err;
        EXPECT_NE(run.out.find(c.printed), std::string::npos) << run.out;
        SlotState s = slot_state();
        EXPECT_EQ(s.opt, 151);
        EXPECT_EQ(s.light, c.light);
        EXPECT_EQ(s.relay, c.relay);
        EXPECT_EQ(s.buzzer, 0u);
    }
}

// Every way of getting no answer: -1, "GrantAccess failed", the fault
// report, and the slot as it was.
TEST_F(Answers, NoAnswerPostsNothing)
{
    struct Case {
        const char *fault;
        const char *report; // in the fault report
    } cases[] = {
        {"relayword", "SOAP-ENV:Client"},
        {"fault500", "injected fault"},
        {"fault200", "injected fault"},
        {"http=404", "404"},
        {"http=503", "503"},
        {"drop", "End of file or no input"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fault);
        Service one;
        ASSERT_TRUE(one.start({"--grant-all", "--fault", c.fault}));
        slot_reset();
        GateRun run = run_gate("0A1B2C3D\n");
        expect_untouched(run);
        EXPECT_NE(run.err.find(c.report), std::string::npos) << run.err;
        std::vector<std::string> req = one.requests();
        ASSERT_EQ(req.size(), 1u);
        std::string kind = std::string(c.fault).substr(0, std::string(c.fault).find('='));
        EXPECT_NE(req[0].find(" fault=" + kind), std::string::npos) << req[0];
    }
}

// The service closes the connection without an answer: the call fails and
// the process lives on (SIGPIPE has its default action in this program);
// the next call goes through.
TEST_F(Answers, DroppedConnectionThenNextCallSucceeds)
{
    ASSERT_TRUE(svc.start({"--grant-all", "--fault", "drop,count=2"}));
    expect_untouched(run_gate("0A1B2C3D\n"));
    expect_untouched(run_gate("0A1B2C3D\n"));
    GateRun run = run_gate("0A1B2C3D\n");
    EXPECT_EQ(run.rc, 0) << run.err;
    EXPECT_EQ(slot_state().opt, 151);
    EXPECT_EQ(svc.requests().size(), 3u);
}

// Each wait for data is two seconds: a service that answers after five
// fails the call after about two, not later.
TEST_F(Answers, SlowServiceFailsAfterTheReceiveTimeout)
{
    ASSERT_TRUE(svc.start({"--grant-all", "--fault", "delay=5000"}));
    GateRun run = run_gate("0A1B2C3D\n");
    expect_untouched(run);
    EXPECT_GE(run.ms, 1500);
    EXPECT_LE(run.ms, 4000);
}

TEST_F(Answers, NobodyListeningFailsAtOnce)
{
    ASSERT_TRUE(svc.start({"--grant-all"}));
    svc.child.stop(SIGTERM);
    GateRun run = run_gate("0A1B2C3D\n");
    expect_untouched(run);
    EXPECT_LT(run.ms, 1500);
}

// The stored URL replaces the default whatever it holds, the empty text
// too. A URL without a host fails without the request going to standard
// output or the answer being taken from standard input (which offers one).
TEST_F(Answers, UrlWithoutHostFailsWithoutTouchingStdio)
{
    int saved_in = dup(0);
    int in[2];
    ASSERT_EQ(pipe(in), 0);
    dup2(in[0], 0);
    std::string answer = http_reply(200, answer_xml("<OpenRelay>true</OpenRelay>"));
    for (std::string url : {"", "nohost", "/ws/AccessGate", "file:///tmp/x", "http://"}) {
        SCOPED_TRACE(url);
        ASSERT_EQ(write(in[1], answer.data(), answer.size()), static_cast<ssize_t>(answer.size()));
        ASSERT_EQ(writeUrlConfig(&url[0]), 0);
        slot_reset();
        GateRun run = run_gate("0A1B2C3D\n");
        EXPECT_EQ(run.out.compare(0, 10 + url.size(), "soap url:" + url + "\n"), 0) << run.out;
        EXPECT_EQ(run.out.find("<?xml"), std::string::npos) << run.out;
        EXPECT_LT(run.ms, 1500);
        expect_untouched(run);
    }
    dup2(saved_in, 0);
    close(saved_in);
    close(in[0]);
    close(in[1]);
}

TEST_F(Answers, OverlongCardNumberIsRefused)
{
    ASSERT_TRUE(svc.start({"--grant-all"}));
    std::string card(31, '7');
    GateRun run = run_gate(card);
    EXPECT_EQ(run.rc, 0) << run.out;
    EXPECT_NE(run.out.find("Passnumber:" + card + "\n"), std::string::npos);
    slot_reset();
    run = run_gate(card + "7");
    EXPECT_EQ(run.rc, -1);
    EXPECT_EQ(slot_state().opt, 149);
    EXPECT_EQ(svc.requests().size(), 1u);
}

} // namespace
