// Work on several threads whose results are taken in table order: each item
// (a pack to review or to write, a file to extract) runs on whichever thread
// is free, and the caller sees the items finish one after the other, as a
// run in order would have finished them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

/// The earliest item of a run in order known to have failed, shared by the
/// threads of the run. After a failure the items after it are not started
/// any more, while the items before it still run: the failure a run in order
/// would have met may lie among them. An item is skipped only when an
/// earlier one failed, never for a later one's failure, so the earliest
/// unsuccessful item of the run is always one that failed, with its error.
class EarliestFailure {
  public:
    /// Whether item `i` is still to run: no item before it has failed.
    bool allows(std::size_t i) const { return i < first_.load(std::memory_order_acquire); }

    /// Records that item `i` failed.
    void record(std::size_t i) {
        std::size_t seen = first_.load();
        while (i < seen && !first_.compare_exchange_weak(seen, i)) {
        }
    }

    /// Whether any item has failed.
    bool any() const { return first_.load(std::memory_order_acquire) != SIZE_MAX; }

  private:
    std::atomic<std::size_t> first_{SIZE_MAX};
};

/// Runs `work(t)` for t from 0 below `threads`: t = 0 on the calling thread,
/// each other on a thread of its own; returns once every one has returned.
void run_on_threads(std::size_t threads, const std::function<void(std::size_t)>& work);

/// Runs `work(i, err)` for every i below `count` on up to `workers` threads
/// (on the calling thread alone when `workers` is 1 or less), and `done(i)`
/// on the calling thread, in order of i, once item i has succeeded. Items are
/// handed out in order of i; when one fails, the items before it still run
/// and no later one starts, and the failure reported in `err` is the earliest
/// in order; `done` has then run for every item before it. A failed
/// allocation inside `work` is its item's failure.
bool run_in_order(std::size_t count, unsigned workers,
                  const std::function<bool(std::size_t, std::string*)>& work,
                  const std::function<void(std::size_t)>& done, std::string* err);
