// Support shared by the fuzz targets: invariant checks that stop the run, and
// a reader that carves parameters off the front of a fuzz input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

/// Stops the run when an invariant does not hold. libFuzzer saves the input
/// that got here; the replay driver reports the abort as a failed test.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

/// Takes little-endian integers off the front of an input. Bytes past the
/// end read as zero, so every input, however short, yields parameters; the
/// bytes not taken are the payload.
class FuzzInput {
  public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint64_t take(std::size_t bytes) {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < bytes; ++i) {
            if (at_ < size_) {
                value |= static_cast<std::uint64_t>(data_[at_++]) << (8 * i);
            }
        }
        return value;
    }
    std::uint8_t take8() { return static_cast<std::uint8_t>(take(1)); }
    std::uint16_t take16() { return static_cast<std::uint16_t>(take(2)); }
    std::uint32_t take32() { return static_cast<std::uint32_t>(take(4)); }
    std::uint64_t take64() { return take(8); }

    /// Everything not taken yet.
    std::span<const std::uint8_t> rest() const {
        return at_ < size_ ? std::span<const std::uint8_t>(data_ + at_, size_ - at_)
                           : std::span<const std::uint8_t>();
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};
