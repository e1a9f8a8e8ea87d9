// The command slot's hand-off under real threads: a fake hardware loop takes
// and completes commands and posts card answers while requesters post and wait.
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/slot.h"
#include "tests/support/process.h"

namespace
{

// Card answers carry this buzzer code; requesters never use it.
const unsigned char CARD_MARK = 0xCA;
const unsigned char TCP_BUZZER = 0x11;

// What the fake hardware thread saw; checked at the end.
struct Seen {
    std::atomic<int> errors{0};
    std::vector<std::atomic<int>> card_runs;
    explicit Seen(int cards) : card_runs(cards) {}
};

void slot_reset_for_test()
{
    // Each test starts from the idle slot with nothing held.
    slot_cmd cmd;
    while (slot_take(&cmd) != SLOT_IDLE)
        slot_complete(&cmd, 0);
}

// Result a request expects: its own sequence number, whatever the command.
int encode_args(int code, int seq, slot_args *a)
{
    *a = {};
    switch (code) {
    case SLOT_SET_READER_INFO:
        a->t_relay = seq & 0xff;
        a->t_light = (seq >> 8) & 0xff;
        a->t_buzzer = (seq >> 16) & 0xff;
        a->t_status = 0x5A;
        break;
    case SLOT_DEVICE:
        a->light = seq & 0xff;
        a->relay = (seq >> 8) & 0xff;
        a->buzzer = TCP_BUZZER;
        break;
    default:
        a->action = seq;
        break;
    }
    return seq;
}

// The fake hardware thread's view of one taken command: the result it
// stores, decoded from the snapshot, or a note of what went wrong.
int run_fake(const slot_cmd &cmd, Seen &seen, int n_cards)
{
    const slot_args &a = cmd.args;
    bool from_card = cmd.waiter == nullptr;
    if (from_card) {
        int card = a.light | (a.relay << 8);
        if (cmd.code != SLOT_DEVICE || a.buzzer != CARD_MARK || card >= n_cards) {
            seen.errors++;
            return -1;
        }
        seen.card_runs[card]++;
        return -1000 - card;
    }
    switch (cmd.code) {
    case SLOT_SET_READER_INFO:
        if (a.t_status != 0x5A)
            seen.errors++;
        return a.t_relay | (a.t_light << 8) | (a.t_buzzer << 16);
    case SLOT_DEVICE:
        if (a.buzzer != TCP_BUZZER) // overwritten by a card answer
            seen.errors++;
        return a.light | (a.relay << 8);
    default:
        return a.action;
    }
}

const int CODES[] = {SLOT_SET_READER_INFO, SLOT_GET_READER_INFO, SLOT_BUZZER,
                     SLOT_RELAY,           SLOT_LIGHT,           SLOT_DEVICE};

} // namespace

TEST(Slot, StartsIdleAndRefusesCodesThatAreNoCommand)
{
    slot_init();
    EXPECT_EQ(opt, SLOT_IDLE);
    slot_args a = {};
    EXPECT_EQ(slot_post_wait(SLOT_IDLE, &a), -1);
    EXPECT_EQ(slot_post_wait(150, &a), -1);
    EXPECT_EQ(slot_post_wait(0, &a), -1);
    EXPECT_EQ(opt, SLOT_IDLE);
    slot_cmd cmd;
    EXPECT_EQ(slot_take(&cmd), SLOT_IDLE);
}

// Thousands of commands from two requesters while the hardware side posts
// card answers at random moments: every requester gets its own result, no
// wait ends early or hangs, every card answer runs exactly once, and no card
// answer overwrites the arguments of a pending command.
TEST(Slot, StressOwnResultsAndEveryCardAnswerOnce)
{
    slot_reset_for_test();
    const int per_requester = 4000;
    const int n_cards = 3000;
    Seen seen(n_cards);
    std::atomic<bool> requesters_done{false};
    std::atomic<int> wrong_results{0}, wrong_info{0};

    std::thread hardware([&] {
        int cards_posted = 0, info_seq = 0;
        unsigned rnd = 12345;
        for (;;) {
            slot_cmd cmd;
            int code = slot_take(&cmd);
            if (code == SLOT_IDLE) {
                // A poll: now and then a card is "read" and decided, with the
                // requester free to post in the middle of the decision.
                rnd = rnd * 1103515245 + 12345;
                if (cards_posted < n_cards && (rnd >> 16) % 3 == 0) {
                    if ((rnd >> 8) % 2)
                        std::this_thread::yield();
                    int c = cards_posted++;
                    slot_post_card_answer(c & 0xff, CARD_MARK, (c >> 8) & 0xff);
                } else if (requesters_done && cards_posted == n_cards) {
                    break; // nothing pending: the take above found the slot idle
                }
                continue;
            }
            int ret = run_fake(cmd, seen, n_cards);
            if (code == SLOT_GET_READER_INFO && cmd.waiter) {
                // The reader's record: four bytes that belong together.
                cmd.args.t_relay = info_seq & 0xff;
                cmd.args.t_light = cmd.args.t_relay ^ 0x3C;
                cmd.args.t_status = 0xA5;
                info_seq++;
                ret = 0;
            }
            slot_complete(&cmd, ret);
        }
    });

    auto requester = [&](int base) {
        for (int i = 0; i < per_requester; i++) {
            int seq = base + i;
            int code = CODES[i % 6];
            slot_args a = {};
            // 145 takes no arguments: it succeeds with 0, every other
            // command with its own sequence number.
            int expect = code == SLOT_GET_READER_INFO ? 0 : encode_args(code, seq, &a);
            int got = slot_post_wait(code, &a);
            if (got != expect)
                wrong_results++;
            if (code == SLOT_GET_READER_INFO &&
                (a.t_light != (a.t_relay ^ 0x3C) || a.t_status != 0xA5))
                wrong_info++;
        }
    };
    std::thread r1(requester, 1);
    std::thread r2(requester, 1 << 14); // sequence numbers fit 16 bits
    r1.join();
    r2.join();
    requesters_done = true;
    hardware.join();

    EXPECT_EQ(wrong_results.load(), 0);
    EXPECT_EQ(wrong_info.load(), 0);
    EXPECT_EQ(seen.errors.load(), 0);
    int not_once = 0;
    for (auto &runs : seen.card_runs)
        not_once += runs.load() != 1;
    EXPECT_EQ(not_once, 0) << "card answers not run exactly once";
    EXPECT_EQ(opt, SLOT_IDLE);
}

// The order of one meeting: a command posted during an access check runs
// after the check, gets its own result, and the card answer of that check
// runs as well; the card answer never waits for the slot.
TEST(Slot, CommandPostedDuringAccessCheckAndCardAnswerBothRun)
{
    slot_reset_for_test();
    std::atomic<int> got{1234};
    std::thread requester;

    slot_cmd cmd;
    ASSERT_EQ(slot_take(&cmd), SLOT_IDLE); // the poll that reads a card
    // During the access check the requester posts its relay command.
    requester = std::thread([&] {
        slot_args a = {};
        a.action = 1;
        got = slot_post_wait(SLOT_RELAY, &a);
    });
    double until = now_ms() + 5000;
    for (;;) {
        pthread_mutex_lock(&mutex);
        int o = opt;
        pthread_mutex_unlock(&mutex);
        if (o == SLOT_RELAY || now_ms() > until)
            break;
        std::this_thread::yield();
    }
    double t0 = now_ms();
    slot_post_card_answer(3, 0, 1); // the decision: returns at once
    EXPECT_LT(now_ms() - t0, 100.0);

    ASSERT_EQ(slot_take(&cmd), SLOT_RELAY);
    EXPECT_EQ(cmd.args.action, 1);
    EXPECT_NE(cmd.waiter, nullptr);
    slot_complete(&cmd, -1); // the relay command fails

    ASSERT_EQ(slot_take(&cmd), SLOT_DEVICE);
    EXPECT_EQ(cmd.waiter, nullptr);
    EXPECT_EQ(cmd.args.light, 3);
    EXPECT_EQ(cmd.args.buzzer, 0);
    EXPECT_EQ(cmd.args.relay, 1);
    slot_complete(&cmd, 0); // the card answer succeeds: not the requester's outcome
    requester.join();
    EXPECT_EQ(got.load(), -1);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(slot_take(&cmd), SLOT_IDLE);
}

// A failed 145 leaves the four settings as they were.
TEST(Slot, FailedReadOfSettingsKeepsThem)
{
    slot_reset_for_test();
    std::thread hw([] {
        slot_cmd cmd;
        for (int done = 0; done < 2;) {
            if (slot_take(&cmd) == SLOT_IDLE) {
                std::this_thread::yield();
                continue;
            }
            cmd.args.t_relay = 99;
            slot_complete(&cmd, done == 0 ? 0 : -1);
            done++;
        }
    });
    slot_args a = {};
    EXPECT_EQ(slot_post_wait(SLOT_GET_READER_INFO, &a), 0);
    EXPECT_EQ(a.t_relay, 99);
    pthread_mutex_lock(&mutex);
    tRelay = 7;
    pthread_mutex_unlock(&mutex);
    a = {};
    EXPECT_EQ(slot_post_wait(SLOT_GET_READER_INFO, &a), -1);
    hw.join();
    pthread_mutex_lock(&mutex);
    EXPECT_EQ(tRelay, 7);
    pthread_mutex_unlock(&mutex);
}

// Without a reader the hardware thread sleeps until a post or its time-out.
TEST(Slot, WaitForPostsEndsOnPostOrTimeOut)
{
    slot_reset_for_test();
    double t0 = now_ms();
    EXPECT_EQ(slot_wait_posted(150), 0);
    double waited = now_ms() - t0;
    EXPECT_GE(waited, 140.0);
    EXPECT_LT(waited, 2000.0);

    std::atomic<int> got{1234};
    std::thread requester([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        slot_args a = {};
        a.action = 1;
        got = slot_post_wait(SLOT_BUZZER, &a);
    });
    t0 = now_ms();
    EXPECT_EQ(slot_wait_posted(10000), 1);
    EXPECT_LT(now_ms() - t0, 5000.0);
    slot_cmd cmd;
    ASSERT_EQ(slot_take(&cmd), SLOT_BUZZER);
    slot_complete(&cmd, 0);
    requester.join();
    EXPECT_EQ(got.load(), 0);
}
