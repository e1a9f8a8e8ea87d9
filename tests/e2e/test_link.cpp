// The reader link and the service call as the running daemon sees them:
// late replies that cost no card and answer no other command, and a service
// host that drops connection attempts.
#include <sys/socket.h>
#include <unistd.h>

#include "tests/e2e/board.h"

namespace
{

struct Link : QuietBoard {
    Link() { service = {"--grant-all"}; }
};

// An idle poll answered after its 500 ms wait, and a card presented while
// that reply is still on its way: the card is read and granted every time.
TEST_F(Link, LateReplyThenCardIsGranted)
{
    for (int i = 0; i < 10; i++) {
        size_t from = b.service.lines().size();
        ASSERT_TRUE(b.fault("late=600,cmd=95"));
        usleep(200000);
        ASSERT_TRUE(b.card("0A1B2C3D"));
        EXPECT_TRUE(b.reader.wait_for("out light=3 buzzer=0 relay=1", 4000)) << i;
        b.drain();
        EXPECT_EQ(count_lines(b.service, "card=0A1B2C3D\\n decision=grant", from), 1) << i;
    }
}

// A card reply that comes late, behind which a settings read is sent: the
// read gets the settings record, and the card is still granted.
TEST_F(Link, LateCardDuringSettingsRead)
{
    ASSERT_TRUE(b.fault("late=600,cmd=95") && b.card("0A1B2C3D"));
    usleep(250000);
    std::string info = ask(cmd("CMD_GetReaderInfo"));
    EXPECT_NE(info.find("\"tLight\":\t3,"), std::string::npos) << info;
    EXPECT_TRUE(b.reader.wait_for("out light=3 buzzer=0 relay=1", 4000)) << "card lost";
}

// The service's host takes no connection: a listener whose accept queue is
// full, so further connection attempts are dropped. The card fails within
// the connect time-out and polling resumes at once.
TEST_F(Link, DroppedConnectionAttemptsCostOneConnectTimeOut)
{
    int port, l = tcp_listen(&port), fill[3];
    ASSERT_EQ(listen(l, 0), 0);
    sockaddr_in a = ipv4("127.0.0.1", port);
    for (int &f : fill) {
        f = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(f, reinterpret_cast<sockaddr *>(&a), sizeof a);
    }
    std::string url = "http://127.0.0.1:" + std::to_string(port) + "/ws/AccessGate";
    ASSERT_EQ(ask(cmd("CMD_SetUrlAddr", '"' + url + '"')), reply(1));

    ASSERT_TRUE(b.card("0A1B2C3D") && b.reader.wait_for("tx status=00", 3000));
    double t0 = now_ms();
    ASSERT_TRUE(b.daemon.wait_for("GrantAccess failed", 60000));
    double took = now_ms() - t0;
    EXPECT_LT(took, 6000) << "connect not bounded";
    EXPECT_GT(took, 1500) << "did the connection attempts get dropped?";
    ASSERT_TRUE(b.fault("status=01,cmd=95"));
    EXPECT_TRUE(b.reader.wait_for("rx 95 poll", 2000)) << "polling did not resume";
    for (int f : fill)
        close(f);
    close(l);
}

} // namespace
