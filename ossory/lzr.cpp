#include "ossory/lzr.h"

#include <algorithm>
#include <cstring>

#include "common/message.h"
#include "common/text.h"

std::uint64_t LzrHeader::max_output() const {
    const std::uint64_t codes = control_size() * 4;
    return std::min<std::uint64_t>(codes, operand_size) * LZR_MAX_PER_OPERATION;
}

bool parse_lzr_header(ByteSpan file, LzrHeader* header, LzrProblem* problem) {
    const std::string file_size = std::to_string(file.size());
    if (file.size() < LZR_HEADER_SIZE) {
        *problem = {"the file of " + file_size + " bytes is shorter than the " +
                        std::to_string(LZR_HEADER_SIZE) + "-byte LZR header",
                    {}};
        return false;
    }
    LzrHeader h;
    h.first_word = load_le32(file.data());
    h.control_bits = load_le32(file.data() + 4);
    h.operand_size = load_le32(file.data() + 8);
    h.output_size = load_le32(file.data() + 12);
    if (!range_fits(file.size(), LZR_HEADER_SIZE, h.control_size())) {
        *problem = {"the control stream of " + std::to_string(h.control_size()) +
                        " bytes does not fit in the file of " + file_size + " bytes",
                    "offset " + hex(LZR_HEADER_SIZE)};
        return false;
    }
    if (!range_fits(file.size(), h.operand_offset(), h.operand_size)) {
        *problem = {"the operand stream of " + std::to_string(h.operand_size) +
                        " bytes does not fit in the file of " + file_size + " bytes",
                    "offset " + hex(h.operand_offset())};
        return false;
    }
    if (h.output_size > h.max_output()) {
        *problem = {"the output size " + std::to_string(h.output_size) +
                        " is more than the streams can produce (at most " +
                        std::to_string(h.max_output()) + " bytes from " +
                        std::to_string(h.control_size()) + " control and " +
                        std::to_string(h.operand_size) + " operand bytes)",
                    {}};
        return false;
    }
    *header = h;
    return true;
}

bool parse_lzr_header(ByteSpan file, std::string_view name, LzrHeader* header, std::string* err) {
    LzrProblem problem;
    if (!parse_lzr_header(file, header, &problem)) {
        *err = error_message(name, problem.what, problem.where);
        return false;
    }
    return true;
}

namespace {

// Room a control byte needs for its four operations to run without any
// bounds check: each appends at most 255 bytes and consumes at most 256
// operand bytes (a literal run's count and data), and each may move up to 15
// bytes more than it needs: short runs and fills move two whole 16-byte
// blocks, and a back-reference from far enough back moves one.
constexpr std::size_t BLOCK = 16;
constexpr std::size_t FAST_OUTPUT_ROOM = 4 * LZR_MAX_PER_OPERATION + 2 * BLOCK;
constexpr std::size_t FAST_OPERAND_ROOM = 4 * (LZR_MAX_PER_OPERATION + 1) + 2 * BLOCK;

inline void copy_block(std::uint8_t* to, const std::uint8_t* from) {
    std::uint8_t block[BLOCK];
    std::memcpy(block, from, BLOCK);
    std::memcpy(to, block, BLOCK);
}

// Copies `length` bytes (at most 15) from `distance` bytes back, when the
// source ends before the destination begins (`distance >= length`), so the
// bytes may move in blocks: two overlapping words cover any length from 4 to
// 16 exactly, without touching a byte past the copy.
inline void copy_disjoint(std::uint8_t* to, const std::uint8_t* from, std::size_t length) {
    if (length >= 8) {
        std::uint64_t head, tail;
        std::memcpy(&head, from, 8);
        std::memcpy(&tail, from + length - 8, 8);
        std::memcpy(to, &head, 8);
        std::memcpy(to + length - 8, &tail, 8);
    } else if (length >= 4) {
        std::uint32_t head, tail;
        std::memcpy(&head, from, 4);
        std::memcpy(&tail, from + length - 4, 4);
        std::memcpy(to, &head, 4);
        std::memcpy(to + length - 4, &tail, 4);
    } else {
        for (std::size_t k = 0; k < length; ++k) {
            to[k] = from[k];
        }
    }
}

// A back-reference already checked to lie inside the bytes produced (or of
// length 0, whose distance is never used). When the
// length exceeds the distance the copy reads bytes it has just written and so
// repeats the last `distance` bytes: that case goes forward one byte at a time
// (distance 1, a run of one byte, is a fill).
inline void copy_back(std::uint8_t* to, std::size_t distance, std::size_t length) {
    if (length == 0) {
        return;  // its distance may reach before the output; nothing may point there
    }
    const std::uint8_t* from = to - distance;
    if (distance >= length) {
        copy_disjoint(to, from, length);
    } else if (distance == 1) {
        std::memset(to, *from, length);
    } else {
        for (std::size_t k = 0; k < length; ++k) {
            to[k] = from[k];
        }
    }
}

}  // namespace

namespace {

// One decode, with (Write) or without (a check before the output exists)
// writing the output. Both run the same checked steps, so a check comes to
// exactly the status and positions the decode does.
template <bool Write>
class Decoder {
  public:
    Decoder(std::uint8_t* out, std::size_t out_size, ByteSpan operands)
        : out_(out), out_size_(out_size), in_(operands.data()), in_size_(operands.size()) {}

    // Far from both ends, the four operations of a control byte run without
    // bounds checks; only a back-reference's distance can still fail, and
    // that one is left to the checked steps to report. Gives the shift of the
    // first operation not done.
    int fast(unsigned byte) {
        if (!Write || out_size_ - pos_ < FAST_OUTPUT_ROOM || in_size_ - at_ < FAST_OPERAND_ROOM) {
            return 6;
        }
        // Locals, not members: the output is written through a byte pointer,
        // which may alias any member, and the positions must stay in registers.
        std::uint8_t* const out = out_;
        const std::uint8_t* const in = in_;
        std::size_t pos = pos_;
        std::size_t at = at_;
        std::size_t operation = operation_;
        int shift = 6;
        for (; shift >= 0; shift -= 2, ++operation) {
            const unsigned code = (byte >> shift) & 3u;
            if (code == LZR_LITERAL) {
                out[pos++] = in[at++];
            } else if (code == LZR_BACK_REFERENCE) {
                const std::size_t distance = std::size_t{in[at]} << 4 | in[at + 1] >> 4;
                const std::size_t length = in[at + 1] & 0x0Fu;
                if (distance >= BLOCK && distance <= pos) {
                    // The source block ends at or before the destination.
                    copy_block(out + pos, out + pos - distance);
                } else if (length > 0 && (distance == 0 || distance > pos)) {
                    break;
                } else {
                    copy_back(out + pos, distance, length);
                }
                pos += length;
                at += 2;
            } else if (code == LZR_FILL) {
                const std::size_t count = in[at];
                if (count <= 2 * BLOCK) {
                    std::uint8_t block[BLOCK];
                    std::memset(block, in[at + 1], BLOCK);
                    std::memcpy(out + pos, block, BLOCK);
                    std::memcpy(out + pos + BLOCK, block, BLOCK);
                } else {
                    std::memset(out + pos, in[at + 1], count);
                }
                pos += count;
                at += 2;
            } else {
                const std::size_t count = in[at];
                if (count <= 2 * BLOCK) {
                    copy_block(out + pos, in + at + 1);
                    copy_block(out + pos + BLOCK, in + at + 1 + BLOCK);
                } else {
                    std::memcpy(out + pos, in + at + 1, count);
                }
                pos += count;
                at += 1 + count;
            }
        }
        pos_ = pos;
        at_ = at;
        operation_ = operation;
        return shift;
    }

    // The rest of a control byte's operations, each checked against both
    // ends. False when the decode is over (`result()` says how).
    bool checked(unsigned byte, int shift) {
        for (; shift >= 0; shift -= 2, ++operation_) {
            if (pos_ >= out_size_) {
                result_.end = pos_;
                return false;
            }
            const unsigned code = (byte >> shift) & 3u;
            if (!step(code)) {
                return false;
            }
        }
        if (pos_ >= out_size_) {
            result_.end = pos_;
            return false;
        }
        return true;
    }

    // The control stream ended with the output not full.
    LzrDecodeResult exhausted() { return stop(LzrStatus::control_exhausted, 0, at_, pos_); }

    const LzrDecodeResult& result() const { return result_; }

  private:
    LzrDecodeResult stop(LzrStatus status, unsigned code, std::size_t op_at, std::size_t op_pos) {
        result_.status = status;
        result_.code = code;
        result_.operation = operation_;
        result_.operand_offset = op_at;
        result_.output_offset = op_pos;
        result_.end = pos_;
        return result_;
    }

    bool fail(LzrStatus status, unsigned code, std::size_t op_at, std::size_t op_pos) {
        stop(status, code, op_at, op_pos);
        return false;
    }

    bool step(unsigned code) {
        const std::size_t op_at = at_;
        const std::size_t op_pos = pos_;
        const std::size_t room = out_size_ - pos_;
        switch (code) {
            case LZR_LITERAL:
                if (at_ == in_size_) {
                    return fail(LzrStatus::operand_exhausted, code, op_at, op_pos);
                }
                if (Write) {
                    out_[pos_] = in_[at_];
                }
                ++pos_;
                ++at_;
                return true;
            case LZR_LITERAL_RUN: {
                if (at_ == in_size_) {
                    return fail(LzrStatus::operand_exhausted, code, op_at, op_pos);
                }
                const std::size_t count = in_[at_++];
                // Only the bytes that still fit are needed; a run cut at the
                // end may name operand bytes the stream does not hold.
                const std::size_t take = std::min(count, room);
                if (in_size_ - at_ < take) {
                    return fail(LzrStatus::operand_exhausted, code, op_at, op_pos);
                }
                if (Write && take > 0) {
                    std::memcpy(out_ + pos_, in_ + at_, take);
                }
                pos_ += take;
                at_ += take;
                if (take < count) {
                    result_.requested = count;
                    return fail(LzrStatus::clipped, code, op_at, op_pos);
                }
                return true;
            }
            case LZR_FILL: {
                // The value byte is consumed even for a count of 0.
                if (in_size_ - at_ < 2) {
                    return fail(LzrStatus::operand_exhausted, code, op_at, op_pos);
                }
                const std::size_t count = in_[at_];
                const std::uint8_t value = in_[at_ + 1];
                at_ += 2;
                const std::size_t take = std::min(count, room);
                if (Write) {
                    std::memset(out_ + pos_, value, take);
                }
                pos_ += take;
                if (take < count) {
                    result_.requested = count;
                    return fail(LzrStatus::clipped, code, op_at, op_pos);
                }
                return true;
            }
            default: {
                if (in_size_ - at_ < 2) {
                    return fail(LzrStatus::operand_exhausted, code, op_at, op_pos);
                }
                const std::size_t b0 = in_[at_];
                const std::size_t b1 = in_[at_ + 1];
                at_ += 2;
                const std::size_t distance = b0 << 4 | b1 >> 4;
                const std::size_t length = b1 & 0x0F;
                // A length of 0 copies nothing, so its distance cannot reach
                // outside the output and does not matter.
                if (length > 0 && (distance == 0 || distance > pos_)) {
                    result_.requested = length;
                    result_.distance = distance;
                    return fail(LzrStatus::bad_distance, code, op_at, op_pos);
                }
                const std::size_t take = std::min(length, room);
                if (Write) {
                    copy_back(out_ + pos_, distance, take);
                }
                pos_ += take;
                if (take < length) {
                    result_.requested = length;
                    return fail(LzrStatus::clipped, code, op_at, op_pos);
                }
                return true;
            }
        }
    }

    std::uint8_t* const out_;
    const std::size_t out_size_;
    const std::uint8_t* const in_;
    const std::size_t in_size_;
    std::size_t pos_ = 0;  // output bytes produced
    std::size_t at_ = 0;   // operand bytes consumed
    std::size_t operation_ = 0;
    LzrDecodeResult result_;
};

template <bool Write>
LzrDecodeResult run(std::uint8_t* out, std::size_t out_size, ByteSpan operands, ByteSpan control) {
    if (out_size == 0) {
        return {};
    }
    Decoder<Write> decoder(out, out_size, operands);
    for (const std::uint8_t byte : control) {
        if (!decoder.checked(byte, decoder.fast(byte))) {
            return decoder.result();
        }
    }
    return decoder.exhausted();
}

}  // namespace

LzrDecodeResult lzr_decode(MutableByteSpan output, ByteSpan operands, ByteSpan control) {
    return run<true>(output.data(), output.size(), operands, control);
}

LzrDecodeResult lzr_check(std::size_t output_size, ByteSpan operands, ByteSpan control) {
    return run<false>(nullptr, output_size, operands, control);
}

const char* lzr_code_name(unsigned code) {
    switch (code) {
        case LZR_LITERAL:
            return "literal";
        case LZR_LITERAL_RUN:
            return "literal run";
        case LZR_FILL:
            return "fill";
        default:
            return "back-reference";
    }
}

LzrProblem lzr_describe(const LzrDecodeResult& result, std::uint64_t operand_offset,
                        std::uint32_t output_size) {
    const std::string where = "operation " + std::to_string(result.operation) +
                              ", operand offset " + hex(result.operand_offset) + ", file offset " +
                              hex(operand_offset + result.operand_offset) + ", output offset " +
                              hex(result.output_offset);
    const std::string op = lzr_code_name(result.code);
    const std::string size = std::to_string(output_size);
    switch (result.status) {
        case LzrStatus::complete:
            return {};
        case LzrStatus::clipped:
            return {"a " + op + " asks for " + std::to_string(result.requested) +
                        " bytes, more than fit in the output size " + size + "; cut at " + size,
                    where};
        case LzrStatus::bad_distance:
            return {
                "a back-reference has distance " + std::to_string(result.distance) +
                    (result.distance == 0 ? std::string()
                                          : ", but only " + std::to_string(result.output_offset) +
                                                " bytes precede it"),
                where};
        case LzrStatus::control_exhausted:
            return {"the control stream ends after " + std::to_string(result.operation) +
                        " operations, with " + std::to_string(result.output_offset) + " of " +
                        size + " output bytes made",
                    where};
        case LzrStatus::operand_exhausted:
            return {"the operand stream ends inside a " + op, where};
    }
    return {};
}

namespace {

template <typename Buffer>
bool decode_file(ByteSpan file, Buffer* out, LzrProblem* warning, LzrProblem* problem) {
    LzrHeader header;
    if (!parse_lzr_header(file, &header, problem)) {
        return false;
    }
    const ByteSpan control =
        file.subspan(LZR_HEADER_SIZE, static_cast<std::size_t>(header.control_size()));
    const ByteSpan operands =
        file.subspan(static_cast<std::size_t>(header.operand_offset()), header.operand_size);
    // A damaged stream is found before the output's memory is taken: a small
    // hostile file can declare gigabytes.
    const LzrDecodeResult checked = lzr_check(header.output_size, operands, control);
    if (!checked.ok()) {
        *problem = lzr_describe(checked, header.operand_offset(), header.output_size);
        return false;
    }
    Buffer output(header.output_size);
    const LzrDecodeResult result = lzr_decode(output, operands, control);
    if (!result.ok()) {
        *problem = lzr_describe(result, header.operand_offset(), header.output_size);
        return false;
    }
    *warning = {};
    if (result.status == LzrStatus::clipped) {
        *warning = lzr_describe(result, header.operand_offset(), header.output_size);
    }
    *out = std::move(output);
    return true;
}

template <typename Buffer>
bool decode_file(ByteSpan file, std::string_view name, Buffer* out, std::string* warning,
                 std::string* err) {
    LzrProblem clipped, problem;
    if (!decode_file(file, out, &clipped, &problem)) {
        *err = error_message(name, problem.what, problem.where);
        return false;
    }
    warning->clear();
    if (!clipped.what.empty()) {
        *warning = warning_message(name, clipped.what, clipped.where);
    }
    return true;
}

}  // namespace

bool lzr_decode_file(ByteSpan file, std::vector<std::uint8_t>* out, LzrProblem* warning,
                     LzrProblem* problem) {
    return decode_file(file, out, warning, problem);
}

bool lzr_decode_file(ByteSpan file, ByteBuffer* out, LzrProblem* warning, LzrProblem* problem) {
    return decode_file(file, out, warning, problem);
}

bool lzr_decode_file(ByteSpan file, std::string_view name, std::vector<std::uint8_t>* out,
                     std::string* warning, std::string* err) {
    return decode_file(file, name, out, warning, err);
}

bool lzr_decode_file(ByteSpan file, std::string_view name, ByteBuffer* out, std::string* warning,
                     std::string* err) {
    return decode_file(file, name, out, warning, err);
}
