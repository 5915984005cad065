#include "sectors/ordered_work.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <new>
#include <numeric>
#include <thread>
#include <vector>

// Whatever the number of threads and however long each item takes, the
// caller sees the items in order, and a failure is the earliest one.
TEST(OrderedWork, ItemsAreTakenInOrderAndTheEarliestFailureWins) {
    struct Case {
        const char* what;
        std::size_t count;
        std::vector<std::size_t> failing;
        std::size_t reported;  // count: none
    };
    const Case cases[] = {
        {"all succeed", 200, {}, 200},
        {"one fails", 200, {120}, 120},
        {"a later failure finishes first", 200, {150, 30}, 30},
        {"the first fails", 50, {0}, 0},
        {"the last fails", 50, {49}, 49},
        {"nothing to do", 0, {}, 0},
    };
    for (const unsigned workers : {1u, 2u, 7u}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + ", " + std::to_string(workers) + " threads");
            std::vector<std::atomic<int>> runs(c.count);
            std::vector<std::size_t> done;
            std::string err;
            const bool ok = run_in_order(
                c.count, workers,
                [&](std::size_t i, std::string* e) {
                    ++runs[i];
                    // Later items are quicker, so they finish out of order.
                    std::this_thread::sleep_for(std::chrono::microseconds((c.count - i) % 7 * 50));
                    for (std::size_t f : c.failing) {
                        if (f == i) {
                            *e = "failed " + std::to_string(i);
                            return false;
                        }
                    }
                    return true;
                },
                [&](std::size_t i) { done.push_back(i); }, &err);
            EXPECT_EQ(ok, c.failing.empty());
            EXPECT_EQ(err, c.failing.empty() ? "" : "failed " + std::to_string(c.reported));
            std::vector<std::size_t> in_order(std::min(c.reported, c.count));
            std::iota(in_order.begin(), in_order.end(), 0);
            EXPECT_EQ(done, in_order);
            for (std::size_t i = 0; i < c.count; ++i) {
                EXPECT_LE(runs[i].load(), 1) << i;
                if (i <= c.reported) {
                    EXPECT_EQ(runs[i].load(), i < c.count ? 1 : 0) << "item " << i << " must run";
                }
            }
        }
    }
}

TEST(OrderedWork, AFailedAllocationIsTheItemsFailure) {
    for (const unsigned workers : {1u, 3u}) {
        std::string err;
        EXPECT_FALSE(run_in_order(
            10, workers,
            [](std::size_t i, std::string*) -> bool {
                if (i == 4) {
                    throw std::bad_alloc();
                }
                return true;
            },
            [](std::size_t) {}, &err));
        EXPECT_EQ(err, "Error: not enough memory for this run; nothing more was written");
    }
}

// A thread that took an item and was held up before starting it must still
// run it when only a later item failed: skipping it would leave the run's
// earliest unsuccessful item without an error. Many rounds on many threads
// give such a thread many chances to be held up in that instant (rare on
// any one machine: EarliestFailure's own test pins the rule itself).
TEST(OrderedWork, AnItemBeforeAFailureIsNeverSkipped) {
    constexpr std::size_t ITEMS = 48, FAILING = 6;
#ifdef _WIN32
    constexpr int ROUNDS = 300;  // threads are made slowly under wine
#else
    constexpr int ROUNDS = 3000;
#endif
    for (int round = 0; round < ROUNDS; ++round) {
        std::string err;
        std::size_t taken = 0;
        const bool ok = run_in_order(
            ITEMS, 8,
            [](std::size_t i, std::string* e) {
                if (i == FAILING) {
                    *e = "failed " + std::to_string(i);
                    return false;
                }
                return true;
            },
            [&](std::size_t) { ++taken; }, &err);
        ASSERT_FALSE(ok);
        ASSERT_EQ(err, "failed 6") << "round " << round;
        ASSERT_EQ(taken, FAILING) << "round " << round;
    }
}

TEST(EarliestFailure, OnlyItemsAfterTheEarliestFailureAreSkipped) {
    EarliestFailure failure;
    EXPECT_FALSE(failure.any());
    EXPECT_TRUE(failure.allows(1000));
    failure.record(6);
    EXPECT_TRUE(failure.any());
    EXPECT_TRUE(failure.allows(5)) << "an item before the failure still runs";
    EXPECT_FALSE(failure.allows(6));
    EXPECT_FALSE(failure.allows(7));
    failure.record(9);  // a later failure moves nothing
    EXPECT_TRUE(failure.allows(5));
    failure.record(2);
    EXPECT_FALSE(failure.allows(5));
    EXPECT_TRUE(failure.allows(1));
}
