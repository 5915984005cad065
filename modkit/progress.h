// The progress line of long work: what is being done, items done of total,
// bytes per second and the time left, redrawn on standard error a few times
// a second while a person watches (standard error is a terminal), and never
// written otherwise, so that logs stay clean.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

/// The line for `done` of `total` items and `bytes` bytes after `seconds`,
/// e.g. "writing files: 1200 of 6921, 310.5 MB/s, 4 s left". The rate is
/// left out before anything is measured, the time left until an item is done.
std::string progress_line(const std::string& what, std::uint64_t done, std::uint64_t total,
                          std::uint64_t bytes, double seconds);

class Progress {
  public:
    /// `visible`: whether the line is drawn at all.
    explicit Progress(bool visible);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    /// Starts a stage of `total` items; the counts start at 0.
    void stage(const std::string& what, std::uint64_t total);
    /// Counts items and bytes done; from any thread.
    void advance(std::uint64_t items, std::uint64_t bytes = 0) {
        done_.fetch_add(items, std::memory_order_relaxed);
        bytes_.fetch_add(bytes, std::memory_order_relaxed);
    }
    /// Erases the line, so that other output starts on a clean line; the
    /// next stage draws it again.
    void clear();

  private:
    void draw_loop();
    void erase_locked();

    const bool visible_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::string what_;
    std::uint64_t total_ = 0;
    std::chrono::steady_clock::time_point started_;
    std::size_t drawn_ = 0;  ///< characters of the line on screen
    std::atomic<std::uint64_t> done_{0};
    std::atomic<std::uint64_t> bytes_{0};
    std::thread drawer_;
};
