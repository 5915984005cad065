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
