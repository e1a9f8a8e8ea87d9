// The command slot's hand-off under real threads: a fake hardware loop takes
// and completes commands and posts card answers while requesters post and wait.
#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/slot.h"
#include "tools/support/support.h"

namespace
{

const int CODES[] = {SLOT_SET_READER_INFO, SLOT_GET_READER_INFO, SLOT_BUZZER,
                     SLOT_RELAY,           SLOT_LIGHT,           SLOT_DEVICE};
const unsigned char CARD_MARK = 0xCA, TCP_MARK = 0x11; // buzzer codes of the two kinds

} // namespace

// Thousands of commands from two requesters while the hardware side posts
// card answers at random moments: every requester gets its own result and
// settings, no wait ends early or hangs, every card answer runs exactly
// once, and no card answer overwrites the arguments of a pending command.
TEST(Slot, StressOwnResultsAndEveryCardAnswerOnce)
{
    slot_init();
    const int per_requester = 4000, n_cards = 3000;
    std::vector<int> card_runs(n_cards); // hardware thread only
    int bad_cards = 0, cards = 0, info = 0;
    std::atomic<bool> requesters_done{false};
    std::atomic<int> wrong{0};

    std::thread hardware([&] {
        unsigned rnd = 12345;
        for (slot_cmd cmd;;) {
            if (slot_take(&cmd) == SLOT_IDLE) {
                // A poll: now and then a card is read and decided, with the
                // requesters free to post in the middle of the decision.
                rnd = rnd * 1103515245 + 12345;
                if (cards < n_cards && (rnd >> 16) % 3 == 0) {
                    if ((rnd >> 8) % 2)
                        std::this_thread::yield();
                    slot_post_card_answer(cards & 0xff, CARD_MARK, (cards >> 8) & 0xff);
                    cards++;
                } else if (requesters_done && cards == n_cards) {
                    break; // the take above found nothing pending or held
                }
                continue;
            }
            const slot_args &a = cmd.args;
            int ret = a.action;
            if (!cmd.waiter) {
                int card = a.light | a.relay << 8;
                if (cmd.code == SLOT_DEVICE && a.buzzer == CARD_MARK && card < n_cards)
                    card_runs[card]++;
                else
                    bad_cards++;
                ret = -1000 - card;
            } else if (cmd.code == SLOT_SET_READER_INFO) {
                ret = a.t_status == 0x5A ? a.t_relay | a.t_light << 8 : -2;
            } else if (cmd.code == SLOT_DEVICE) { // a card answer must not have overwritten them
                ret = a.buzzer == TCP_MARK ? a.light | a.relay << 8 : -2;
            } else if (cmd.code == SLOT_GET_READER_INFO) {
                // An exchange takes time, in which the requesters post again;
                // then the reader's record: bytes that belong together.
                std::this_thread::sleep_for(std::chrono::microseconds(50));
                cmd.args.t_relay = info++ & 0xff;
                cmd.args.t_light = cmd.args.t_relay ^ 0x3C;
                cmd.args.t_status = 0xA5;
                ret = 0;
            }
            slot_complete(&cmd, ret);
        }
    });

    auto requester = [&](int base) {
        unsigned rnd = static_cast<unsigned>(base);
        for (int i = 0; i < per_requester; i++) {
            rnd = rnd * 1103515245 + 12345; // codes in random order: every pair meets
            int code = CODES[(rnd >> 16) % 6], seq = base + i;
            // The sequence number in every field a command can carry; the
            // fake hardware thread returns it from the fields of the code.
            slot_args a = {};
            a.action = seq;
            a.light = a.t_relay = seq & 0xff;
            a.relay = a.t_light = (seq >> 8) & 0xff;
            a.buzzer = TCP_MARK;
            a.t_status = 0x5A;
            int got = slot_post_wait(code, &a);
            if (code == SLOT_GET_READER_INFO)
                wrong += got != 0 || a.t_light != (a.t_relay ^ 0x3C) || a.t_status != 0xA5;
            else
                wrong += got != seq;
        }
    };
    std::thread r2(requester, 1 << 14); // sequence numbers fit 16 bits
    requester(1);
    r2.join();
    requesters_done = true;
    hardware.join();

    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(bad_cards, 0);
    EXPECT_EQ(std::count(card_runs.begin(), card_runs.end(), 1), n_cards)
        << "card answers not run exactly once";
    EXPECT_EQ(opt, SLOT_IDLE);
}

// Without a reader the hardware thread sleeps until a post or its time-out.
// A command posted during an access check runs after the check with its own
// result: here a failed read of the settings, which leaves the four as they
// were. The check's card answer never waits for the slot and runs as well.
// A command posted while another runs waits for its end.
TEST(Slot, CommandPostedDuringAccessCheckAndCardAnswerBothRun)
{
    slot_cmd cmd;
    while (slot_take(&cmd) != SLOT_IDLE) // from the idle slot with nothing held
        slot_complete(&cmd, 0);
    slot_args a = {};
    for (int code : {static_cast<int>(SLOT_IDLE), 150, 0}) // codes that are no command
        EXPECT_EQ(slot_post_wait(code, &a), -1) << code;
    double t0 = now_ms();
    EXPECT_EQ(slot_wait_posted(150), 0);
    EXPECT_GE(now_ms() - t0, 140.0);
    ASSERT_EQ(slot_take(&cmd), SLOT_IDLE); // the poll that reads a card
    tRelay = 7;                            // no other thread yet
    std::atomic<int> got{1234};
    std::thread requester([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        got = slot_post_wait(SLOT_GET_READER_INFO, &a);
    });
    ASSERT_EQ(slot_wait_posted(10000), 1);
    t0 = now_ms();
    slot_post_card_answer(3, 0, 1); // the decision
    EXPECT_LT(now_ms() - t0, 100.0);
    ASSERT_EQ(slot_take(&cmd), SLOT_GET_READER_INFO);
    cmd.args.t_relay = 99;
    slot_complete(&cmd, -1);
    ASSERT_EQ(slot_take(&cmd), SLOT_DEVICE);
    EXPECT_TRUE(!cmd.waiter && cmd.args.light == 3 && cmd.args.buzzer == 0 && cmd.args.relay == 1);
    slot_complete(&cmd, 0);
    requester.join();
    EXPECT_EQ(got.load(), -1);
    EXPECT_EQ(a.t_relay, 0);
    EXPECT_EQ(tRelay, 7);
    EXPECT_EQ(slot_take(&cmd), SLOT_IDLE);

    auto post = [](int code) {
        slot_args r = {};
        slot_post_wait(code, &r);
    };
    std::thread one(post, SLOT_BUZZER);
    ASSERT_EQ(slot_wait_posted(5000), 1);
    ASSERT_EQ(slot_take(&cmd), SLOT_BUZZER);
    std::thread two(post, SLOT_RELAY);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(opt, SLOT_IDLE) << "posted while a command runs";
    slot_complete(&cmd, 0);
    ASSERT_EQ(slot_wait_posted(5000), 1);
    ASSERT_EQ(slot_take(&cmd), SLOT_RELAY);
    slot_complete(&cmd, 0);
    one.join();
    two.join();
}
