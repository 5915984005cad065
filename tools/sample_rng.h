// The random streams of the sample-game generator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

inline std::uint64_t splitmix64(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

/// xoshiro256**: fast, and good enough for filler and for structural choices.
class Rng {
  public:
    explicit Rng(std::uint64_t seed) {
        for (auto& word : s_) {
            word = splitmix64(seed);
        }
    }

    std::uint64_t next() {
        const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
        const std::uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 45);
        return result;
    }

    /// In [0, n) for n > 0; the modulo bias does not matter here.
    std::uint64_t below(std::uint64_t n) { return next() % n; }
    /// Uniform in [lo, hi].
    std::uint64_t range(std::uint64_t lo, std::uint64_t hi) { return lo + below(hi - lo + 1); }
    std::uint32_t range32(std::uint32_t lo, std::uint32_t hi) {
        return static_cast<std::uint32_t>(range(lo, hi));
    }
    bool percent(unsigned p) { return below(100) < p; }
    std::uint32_t word() { return static_cast<std::uint32_t>(next() >> 32); }
    std::uint8_t byte() { return static_cast<std::uint8_t>(next() >> 56); }

    /// Fills `n` bytes, eight at a time.
    void fill(std::uint8_t* p, std::size_t n) {
        while (n >= 8) {
            const std::uint64_t v = next();
            std::memcpy(p, &v, 8);
            p += 8;
            n -= 8;
        }
        if (n > 0) {
            const std::uint64_t v = next();
            std::memcpy(p, &v, n);
        }
    }

    template <typename T>
    void shuffle(std::vector<T>& v) {
        for (std::size_t i = v.size(); i > 1; --i) {
            std::swap(v[i - 1], v[below(i)]);
        }
    }

  private:
    static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    std::uint64_t s_[4];
};
