// The two protections of the real daemon, switched by their files while it
// runs: the service URLs that ca.pem admits, and management from the
// addresses of manage-allow only (a search is answered whoever asks).
#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include "settings/protection.h"
#include "tests/e2e/board.h"

namespace
{

const char OWN[] = "192.0.2.10", SECOND[] = "192.0.2.11"; // both the sandbox's
const std::string SETUP = R"({"Command":"CMD_SetNetConf","Data":{"OldIP":"192.0.2.10","IP":"",)"
                          R"("Mask":"","Gateway":"","DNS":"","MAC":""}})";

// One datagram to port 8000 with src as its source address.
bool send_from(const Udp &u, const char *src, const std::string &text)
{
    sockaddr_in to = ipv4(OWN, 8000);
    alignas(cmsghdr) char ctl[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    iovec iov = {const_cast<char *>(text.data()), text.size()};
    msghdr m = {&to, sizeof to, &iov, 1, ctl, sizeof ctl, 0};
    *CMSG_FIRSTHDR(&m) = {CMSG_LEN(sizeof(in_pktinfo)), IPPROTO_IP, IP_PKTINFO};
    reinterpret_cast<in_pktinfo *>(CMSG_DATA(CMSG_FIRSTHDR(&m)))->ipi_spec_dst =
        ipv4(src, 0).sin_addr;
    return sendmsg(u.fd, &m, 0) == static_cast<ssize_t>(text.size());
}

// Writes a protection file ("" removes it).
bool protect(const char *path, const std::string &text)
{
    unlink(path);
    mkdir("/etc/gatewarden", 0755);
    return text.empty() || write_file(path, text);
}

using Protect = QuietBoard;

} // namespace

// From two addresses of the sandbox, the file changed between rows: who is
// served over TCP, whose set-up reboots; a search from either is answered.
TEST_F(Protect, ManagementFromAllowedAddressesOnly)
{
    (void)!system((std::string("ip addr add ") + SECOND + "/24 dev eth0 2>/dev/null").c_str());
    const std::string bad = "192.0.2.10\n192.0.2.300\n";
    const struct {
        std::string file;
        bool own, second; // served
    } cases[] = {
        {"", true, true},
        {"# the desk\n\n 192.0.2.10 \t# own\r\n", true, false},
        {"192.0.2.9/30\n", true, true}, // host bits ignored
        {"192.0.2.8/31\n192.0.2.99/32", false, false},
        {bad, false, false},
        {"", true, true},
        {bad, false, false},
        {"0.0.0.0/0", true, true},
    };
    for (const auto &c : cases) {
        ASSERT_TRUE(protect(PROTECT_MANAGE_FILE, c.file));
        for (const char *src : {OWN, SECOND}) {
            SCOPED_TRACE(c.file + " from " + src);
            bool served = src == OWN ? c.own : c.second;
            b.drain();
            int relays = count_lines(b.reader, " rx 93"), boots = int(reboot_lines().size());
            EXPECT_EQ(ask(cmd("CMD_CtrRelay"), 3000, src), served ? reply(1) : "");
            Udp u;
            std::string got;
            ASSERT_TRUE(send_from(u, src, SETUP) && send_from(u, src, SEARCH));
            EXPECT_TRUE(u.recv(got, 3000) && got == "TcpReader Response");
            b.drain();
            EXPECT_EQ(count_lines(b.reader, " rx 93"), relays + served);
            EXPECT_EQ(int(reboot_lines().size()), boots + served);
        }
    }
    // A malformed file is reported once, and again once after it was mended.
    EXPECT_EQ(count_lines(b.daemon, PROTECT_MANAGE_FILE ": line 2 is not an IPv4 address"), 2);
    // Refusals in a row are one line, then their count once one is served.
    ASSERT_TRUE(protect(PROTECT_MANAGE_FILE, std::string(OWN) + "\n"));
    for (int i = 0; i < 200; i++)
        ask(cmd("CMD_GetNetConf"), 3000, SECOND);
    EXPECT_EQ(ask(cmd("CMD_CtrRelay"), 3000, OWN), reply(1));
    b.drain();
    EXPECT_EQ(count_lines(b.daemon, "Server refused client connect "), 4);
    EXPECT_EQ(count_lines(b.daemon, "Server refused client connect: ended, 200 times in all"), 1);
    protect(PROTECT_MANAGE_FILE, "");
}

// While ca.pem exists an http URL is not stored; an https one is.
TEST_F(Protect, UrlMustBeHttpsWhileCaExists)
{
    const struct {
        bool ca;
        std::string url;
        int response;
    } cases[] = {{true, "http://127.0.0.1:8080/a", 0},
                 {true, "HTTPS://127.0.0.1:8443/b", 1},
                 {false, "http://127.0.0.1:8080/c", 1}};
    for (const auto &c : cases) {
        ASSERT_TRUE(protect(PROTECT_CA_FILE, c.ca ? "not read here\n" : ""));
        EXPECT_EQ(ask(cmd("CMD_SetUrlAddr", '"' + c.url + '"')), reply(c.response)) << c.url;
        EXPECT_EQ(ask(cmd("CMD_GetUrlAddr")).find(c.url) != std::string::npos, c.response == 1);
    }
}
