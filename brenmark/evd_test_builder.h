// Builds .evd bytes for the tests, record by record, the way the game lays them out.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "brenmark/evd_format.h"
#include "common/byte_reader.h"

class EvdBuilder {
  public:
    /// A record as the game writes it: `text_length` is the text's length
    /// plus its zero, the area is zero-filled to a multiple of 4. The
    /// uninterpreted header words get distinct values so that tests see
    /// whether they are carried through.
    EvdBuilder& text(std::int32_t id, std::string_view text) {
        EvdTextHeader header = header_for(id);
        header.text_length = static_cast<std::uint32_t>(text.size() + 1);
        std::vector<std::uint8_t> area(text.begin(), text.end());
        area.resize(static_cast<std::size_t>(evd_text_area_size(header.text_length)), 0);
        return raw(header, area);
    }

    /// A record with any header and any text area (for damaged or odd records).
    EvdBuilder& raw(const EvdTextHeader& header, const std::vector<std::uint8_t>& area) {
        append_text_header(records_, header);
        records_.insert(records_.end(), area.begin(), area.end());
        ++count_;
        return *this;
    }

    EvdBuilder& tail(std::string_view bytes) {
        tail_.assign(bytes.begin(), bytes.end());
        return *this;
    }

    /// Stores `count` instead of the number of records added.
    EvdBuilder& count(std::uint32_t count) {
        count_override_ = count;
        return *this;
    }

    /// The header `text` gives a record with this id (before its length is
    /// set). The words depend on the id only, so two builders given the same
    /// ids produce the same headers.
    static EvdTextHeader header_for(std::int32_t id) {
        const auto bits = static_cast<std::uint32_t>(id);
        EvdTextHeader header;
        header.leading_words = {0xA1A2A3A4u, 0xC0FFEE00u ^ bits, 0x80000001u + bits * 3};
        header.text_id = id;
        header.middle_word = 0x5A5A0000u ^ (bits << 8);
        return header;
    }

    std::vector<std::uint8_t> bytes() const {
        // Laid out in a vector of the final size: inserting into a fresh
        // vector trips a false out-of-bounds warning in GCC 12.
        std::vector<std::uint8_t> out(EVD_COUNT_SIZE + records_.size() + tail_.size());
        store_le32(out.data(), count_override_.value_or(count_));
        auto next = std::copy(records_.begin(), records_.end(), out.begin() + EVD_COUNT_SIZE);
        std::copy(tail_.begin(), tail_.end(), next);
        return out;
    }

  private:
    std::uint32_t count_ = 0;
    std::optional<std::uint32_t> count_override_;
    std::vector<std::uint8_t> records_;
    std::vector<std::uint8_t> tail_;
};
