// The registry of unfinished output files that an interrupted run removes,
// shared by the file layer of every system (posix.cpp, windows.cpp). Private
// to the platform layer.
//
// Only paths that did not exist before the run are ever registered (temporary
// files, and new files written under their own names), so removing one can
// never destroy anything the user had, even when a worker finishes a file in
// the instant the clean-up looks at it. The clean-up (a signal handler on
// POSIX systems, a console control handler on Windows) may run at any moment
// in any thread: it allocates nothing and takes no lock. It reads each slot
// under a sequence number and skips one that changes while it reads.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

/// `Slots` paths of up to `Length - 1` characters of type `Char`. Meant for
/// a `constinit` object: it is zero-initialised at load time, so a slot's
/// page is touched only when the slot is used.
template <typename Char, int Slots, std::size_t Length>
class UnfinishedFiles {
  public:
    constexpr UnfinishedFiles() = default;

    /// Claims a slot for `path` (`size` characters); -1 when the path is too
    /// long to hold or every slot is taken (the file is then not removed by
    /// an interruption).
    int add(const Char* path, std::size_t size) {
        if (size >= Length) {
            return -1;
        }
        const int start = hint_.load(std::memory_order_relaxed);
        for (int k = 0; k < Slots; ++k) {
            const int i = (start + k) % Slots;
            std::atomic<std::uint32_t>& sequence = sequences_[i];
            std::uint32_t seq = sequence.load(std::memory_order_relaxed);
            if ((seq & (BUSY | LIVE)) != 0 || !sequence.compare_exchange_strong(seq, seq | BUSY)) {
                continue;
            }
            std::memcpy(paths_[i], path, size * sizeof(Char));
            paths_[i][size] = Char{};
            sequence.store((seq & ~3u) + STEP + LIVE, std::memory_order_release);
            hint_.store((i + 1) % Slots, std::memory_order_relaxed);
            return i;
        }
        return -1;
    }

    /// Gives the slot back (the file was finished or removed); -1 is ignored.
    void remove(int i) {
        if (i >= 0) {
            const std::uint32_t seq = sequences_[i].load(std::memory_order_relaxed);
            sequences_[i].store((seq & ~3u) + STEP, std::memory_order_release);
        }
    }

    /// Calls `remove_file(path)` for every registered path, from the
    /// clean-up. `buffer` holds `Length` characters. Slots that are never
    /// given back fill in the order of their paths' registration, so
    /// `newest_first` walks them from the last registered (a folder before
    /// the folder that holds it).
    template <typename F>
    void remove_all(Char* buffer, F remove_file, bool newest_first = false) {
        for (int k = 0; k < Slots; ++k) {
            const int i = newest_first ? Slots - 1 - k : k;
            const std::uint32_t before = sequences_[i].load(std::memory_order_acquire);
            if ((before & (BUSY | LIVE)) != LIVE) {
                continue;
            }
            std::memcpy(buffer, paths_[i], sizeof paths_[i]);
            buffer[Length - 1] = Char{};
            if (sequences_[i].load(std::memory_order_acquire) == before) {
                remove_file(buffer);
            }
        }
    }

  private:
    static constexpr std::uint32_t BUSY = 1;  // being written
    static constexpr std::uint32_t LIVE = 2;  // holds a path to remove
    static constexpr std::uint32_t STEP = 4;  // the rest counts generations

    // Two plain arrays rather than one of structs holding an atomic, which
    // compilers initialise with a start-up loop over all of it.
    std::atomic<std::uint32_t> sequences_[Slots] = {};
    Char paths_[Slots][Length] = {};
    std::atomic<int> hint_{0};
};
