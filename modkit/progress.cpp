#include "modkit/progress.h"

#include <chrono>
#include <cstdio>

std::string progress_line(const std::string& what, std::uint64_t done, std::uint64_t total,
                          std::uint64_t bytes, double seconds) {
    std::string line = what + ": " + std::to_string(done) + " of " + std::to_string(total);
    if (seconds > 0.05 && bytes > 0) {
        char rate[32];
        std::snprintf(rate, sizeof rate, ", %.1f MB/s", static_cast<double>(bytes) / seconds / 1e6);
        line += rate;
    }
    if (seconds > 0.05 && done > 0 && done < total) {
        const double left = seconds * static_cast<double>(total - done) / static_cast<double>(done);
        line += ", " + std::to_string(static_cast<std::uint64_t>(left + 0.5)) + " s left";
    }
    return line;
}

Progress::Progress(bool visible) : visible_(visible) {
    if (visible_) {
        drawer_ = std::thread([this] { draw_loop(); });
    }
}

Progress::~Progress() {
    if (!visible_) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        erase_locked();
    }
    wake_.notify_all();
    drawer_.join();
}

void Progress::stage(const std::string& what, std::uint64_t total) {
    std::lock_guard lock(mutex_);
    what_ = what;
    total_ = total;
    done_.store(0);
    bytes_.store(0);
    started_ = std::chrono::steady_clock::now();
}

void Progress::clear() {
    if (!visible_) {
        return;
    }
    std::lock_guard lock(mutex_);
    erase_locked();
    what_.clear();
}

void Progress::erase_locked() {
    if (drawn_ > 0) {
        std::fprintf(stderr, "\r%*s\r", static_cast<int>(drawn_), "");
        std::fflush(stderr);
        drawn_ = 0;
    }
}

void Progress::draw_loop() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        wake_.wait_for(lock, std::chrono::milliseconds(250));
        if (stopping_ || what_.empty()) {
            continue;
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
        if (seconds < 0.5) {
            continue;  // short work goes by without a line
        }
        const std::string line = progress_line(what_, done_.load(), total_, bytes_.load(), seconds);
        // Blanks cover what is left of a longer line before.
        const std::size_t pad = drawn_ > line.size() ? drawn_ - line.size() : 0;
        std::fprintf(stderr, "\r%s%*s", line.c_str(), static_cast<int>(pad), "");
        std::fflush(stderr);
        drawn_ = line.size() + pad;
    }
}
