// Work on several threads whose results are taken in table order: each item
// (a pack to review or to write) runs on whichever thread is free, and the
// caller sees the items finish one after the other, as a run in order would
// have finished them.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

/// Runs `work(i, err)` for every i below `count` on up to `workers` threads
/// (on the calling thread alone when `workers` is 1 or less), and `done(i)`
/// on the calling thread, in order of i, once item i has succeeded. Items are
/// handed out in order of i, so when one fails every earlier one has already
/// started: those still finish, no later one starts, and the failure
/// reported in `err` is the earliest in order; `done` has then run for every
/// item before it. A failed allocation inside `work` is its item's failure.
bool run_in_order(std::size_t count, unsigned workers,
                  const std::function<bool(std::size_t, std::string*)>& work,
                  const std::function<void(std::size_t)>& done, std::string* err);
