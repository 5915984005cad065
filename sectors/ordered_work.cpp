#include "sectors/ordered_work.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "common/message.h"

namespace {

enum ItemState : std::uint8_t { PENDING, SUCCEEDED, FAILED, SKIPPED };

bool run_item(const std::function<bool(std::size_t, std::string*)>& work, std::size_t i,
              std::string* err) {
    try {
        return work(i, err);
    } catch (const std::bad_alloc&) {
        *err = error_message("", "not enough memory for this run; nothing more was written");
        return false;
    }
}

}  // namespace

void run_on_threads(std::size_t threads, const std::function<void(std::size_t)>& work) {
    std::vector<std::thread> started;
    started.reserve(threads > 0 ? threads - 1 : 0);
    for (std::size_t t = 1; t < threads; ++t) {
        started.emplace_back(work, t);
    }
    work(0);
    for (std::thread& thread : started) {
        thread.join();
    }
}

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
    EarliestFailure failure;
    // The calling thread works too, and between its items takes the results
    // that are ready, in order; the rest once every thread has stopped.
    // Nobody waits for anybody until then.
    std::size_t taken = 0;
    bool ok = true;
    auto take_ready = [&] {
        for (std::uint8_t now;
             ok && taken < count && (now = state[taken].load(std::memory_order_acquire)) != PENDING;
             ++taken) {
            if (now == SUCCEEDED) {
                done(taken);
                continue;
            }
            // A skipped item comes after a failed one, which is met first.
            *err = errors[taken];
            ok = false;
        }
    };
    auto worker = [&](bool caller) {
        for (;;) {
            const std::size_t i = next.fetch_add(1);
            if (i >= count) {
                return;
            }
            // Items after a failure are skipped; the ones before it still
            // run, whenever their thread gets to them.
            const bool runs = failure.allows(i);
            const bool succeeded = runs && run_item(work, i, &errors[i]);
            if (runs && !succeeded) {
                failure.record(i);
            }
            state[i].store(succeeded ? SUCCEEDED
                           : runs    ? FAILED
                                     : SKIPPED,
                           std::memory_order_release);
            if (caller) {
                take_ready();
            }
        }
    };
    run_on_threads(threads_wanted, [&](std::size_t t) { worker(t == 0); });
    take_ready();
    return ok;
}
