#include "sectors/ordered_work.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <thread>
#include <vector>

namespace {

enum ItemState : std::uint8_t { PENDING, SUCCEEDED, FAILED, SKIPPED };

bool run_item(const std::function<bool(std::size_t, std::string*)>& work, std::size_t i,
              std::string* err) {
    try {
        return work(i, err);
    } catch (const std::bad_alloc&) {
        *err = "Error: not enough memory for this run; nothing more was written";
        return false;
    }
}

}  // namespace

bool run_in_order(std::size_t count, unsigned workers,
                  const std::function<bool(std::size_t, std::string*)>& work,
                  const std::function<void(std::size_t)>& done, std::string* err) {
    const std::size_t threads_wanted = std::min<std::size_t>(workers, count);
    if (threads_wanted <= 1) {
        for (std::size_t i = 0; i < count; ++i) {
            if (!run_item(work, i, err)) {
                return false;
            }
            done(i);
        }
        return true;
    }

    std::unique_ptr<std::atomic<std::uint8_t>[]> state(new std::atomic<std::uint8_t>[count]);
    for (std::size_t i = 0; i < count; ++i) {
        state[i].store(PENDING, std::memory_order_relaxed);
    }
    std::vector<std::string> errors(count);
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    auto worker = [&] {
        for (;;) {
            const std::size_t i = next.fetch_add(1);
            if (i >= count) {
                return;
            }
            // After a failure the items not started yet are skipped; the ones
            // before it were all handed out already.
            const bool runs = !failed.load();
            const bool ok = runs && run_item(work, i, &errors[i]);
            if (runs && !ok) {
                failed.store(true);
            }
            state[i].store(ok ? SUCCEEDED : runs ? FAILED : SKIPPED, std::memory_order_release);
            state[i].notify_all();
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(threads_wanted);
    for (std::size_t t = 0; t < threads_wanted; ++t) {
        threads.emplace_back(worker);
    }
    bool ok = true;
    for (std::size_t i = 0; i < count && ok; ++i) {
        std::uint8_t now;
        while ((now = state[i].load(std::memory_order_acquire)) == PENDING) {
            state[i].wait(PENDING);
        }
        if (now == SUCCEEDED) {
            done(i);
            continue;
        }
        // A skipped item comes after a failed one, which is met first.
        *err = errors[i];
        ok = false;
    }
    if (!ok) {
        failed.store(true);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    return ok;
}
