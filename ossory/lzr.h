// The LZR container of the game's compressed images (.tm2.lzr) and its decoder.
//
// An LZR file is a 16-byte header, a control stream of 2-bit operation codes
// (four per byte, most significant pair first) and an operand stream that the
// operations consume front to back. Nothing here touches files: the header is
// parsed from the loaded bytes and the decoder works on caller-owned buffers,
// never reading or writing outside them whatever the input holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/byte_buffer.h"
#include "common/byte_reader.h"

inline constexpr std::size_t LZR_HEADER_SIZE = 16;

/// The most bytes one operation can append: a literal run or fill of count 255.
inline constexpr std::uint64_t LZR_MAX_PER_OPERATION = 255;

struct LzrHeader {
    std::uint32_t first_word = 0;  ///< not interpreted
    std::uint32_t control_bits = 0;
    std::uint32_t operand_size = 0;
    std::uint32_t output_size = 0;

    /// Bytes of the control stream, computed in 64 bits: a bit count within 7
    /// of 2^32 names half a gigabyte of stream, which no small file holds
    /// (in 32 bits it would wrap to an empty stream and decode to nothing).
    std::uint64_t control_size() const { return (std::uint64_t{control_bits} + 7) >> 3; }
    /// File offset of the operand stream, right after the control stream.
    std::uint64_t operand_offset() const { return LZR_HEADER_SIZE + control_size(); }
    /// The most output the streams can produce: every operation consumes one
    /// code and at least one operand byte, and appends at most 255 bytes.
    std::uint64_t max_output() const;
};

/// What is wrong with LZR data and where, as the two parts of a message
/// (common/message.h), so that a caller can say it of the file it names.
struct LzrProblem {
    std::string what;
    std::string where;  ///< empty when the problem has no one place
};

/// Reads the header of `file` and checks, before anything is allocated, that
/// both streams as declared lie inside the file and that `output_size` is not
/// more than they can produce.
bool parse_lzr_header(ByteSpan file, LzrHeader* header, LzrProblem* problem);
/// The same, with the complete message naming `name` in `err`.
bool parse_lzr_header(ByteSpan file, std::string_view name, LzrHeader* header, std::string* err);

enum class LzrStatus {
    complete,           ///< exactly `output_size` bytes produced by whole operations
    clipped,            ///< the last operation ran past `output_size` and was cut there
    bad_distance,       ///< a back-reference of distance 0 or beyond the bytes produced
    control_exhausted,  ///< the control stream ended before the output was full
    operand_exhausted,  ///< the operand stream ended inside an operation
};

/// Operation codes, as they appear in the control stream.
enum LzrCode : unsigned {
    LZR_LITERAL = 0,
    LZR_LITERAL_RUN = 1,
    LZR_FILL = 2,
    LZR_BACK_REFERENCE = 3
};

struct LzrDecodeResult {
    LzrStatus status = LzrStatus::complete;
    /// Position after the last byte written.
    std::size_t end = 0;
    // Where the operation that was cut or failed began (unset when complete).
    unsigned code = 0;               ///< its operation code
    std::size_t operation = 0;       ///< its number, counting from 0
    std::size_t operand_offset = 0;  ///< offset of its first operand byte in the operand stream
    std::size_t output_offset = 0;   ///< output bytes produced before it
    std::size_t requested = 0;       ///< bytes it asked to append (clipped, bad_distance)
    std::size_t distance = 0;        ///< its distance (bad_distance)

    bool ok() const { return status == LzrStatus::complete || status == LzrStatus::clipped; }
};

/// Decodes into `output`, whose size is the header's `output_size`, until it
/// is full. Codes are taken from the most significant pair down; the bound is
/// checked only before each operation, so a control byte's remaining codes
/// are unused once the output is full; a fill consumes its value byte even
/// for a count of 0; a back-reference longer than its distance copies forward
/// one byte at a time, so it repeats the last `distance` bytes (other copies
/// may move in blocks). An operation that would run past the end is cut there
/// (status `clipped`). Malformed streams stop the decode with an error status.
/// Nothing outside the three buffers is read, nor outside `output` written;
/// the bytes of `output` after `end` are unspecified, since far from its end
/// the decoder may move a few bytes past an operation in whole blocks.
LzrDecodeResult lzr_decode(MutableByteSpan output, ByteSpan operands, ByteSpan control);

/// Runs the streams as `lzr_decode` would for an output of `output_size`
/// bytes, without writing anything: the same status and positions, so that a
/// damaged file is refused before its output's memory is taken.
LzrDecodeResult lzr_check(std::size_t output_size, ByteSpan operands, ByteSpan control);

/// Name of an operation code for messages ("literal", "literal run", ...).
const char* lzr_code_name(unsigned code);

/// What went wrong, or how the output was cut, and the positions of the
/// operation as its where. `operand_offset` is the operand stream's file
/// offset; empty for a complete decode.
LzrProblem lzr_describe(const LzrDecodeResult& result, std::uint64_t operand_offset,
                        std::uint32_t output_size);

/// Decodes a whole loaded LZR file into `out`. The header and the streams are
/// validated before the output is allocated. On an error returns false with
/// the problem in `problem`; a clipped last operation is not an error but
/// fills `warning` (whose `what` is empty otherwise).
bool lzr_decode_file(ByteSpan file, std::vector<std::uint8_t>* out, LzrProblem* warning,
                     LzrProblem* problem);
bool lzr_decode_file(ByteSpan file, ByteBuffer* out, LzrProblem* warning, LzrProblem* problem);
/// The same, with complete messages naming `name`: "Error: <name>: ..." in
/// `err`, and "Warning: <name>: ..." in `warning` (empty when there is none).
bool lzr_decode_file(ByteSpan file, std::string_view name, std::vector<std::uint8_t>* out,
                     std::string* warning, std::string* err);
/// The same into a buffer that is not zeroed first: every byte of a decoded
/// output is written by the decoder, and a failed decode hands back nothing.
bool lzr_decode_file(ByteSpan file, std::string_view name, ByteBuffer* out, std::string* warning,
                     std::string* err);
