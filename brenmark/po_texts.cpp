#include "brenmark/po_texts.h"

#include <gettext-po.h>

#include <algorithm>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "common/message.h"
#include "common/platform/file_io.h"

// libgettextpo keeps a few strings of every file it reads or writes
// (comments, contexts, the file's name) after the file is freed. They are
// its own and cannot be given back; a build with LeakSanitizer is told so.
#if defined(__SANITIZE_ADDRESS__)
#define BRENMARK_LSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BRENMARK_LSAN 1
#endif
#endif
#ifdef BRENMARK_LSAN
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libgettextpo\n";
}
// Without a report of the suppressions used on standard error, which is
// the program's own.
extern "C" const char* __lsan_default_options() {
    return "print_suppressions=0";
}
#endif

namespace {

// The header of every PO file written: UTF-8, nothing filled in that a
// translator's tool sets (the language, the translator, the dates).
constexpr const char* PO_HEADER =
    "Project-Id-Version: \n"
    "Report-Msgid-Bugs-To: \n"
    "PO-Revision-Date: \n"
    "Last-Translator: \n"
    "Language-Team: \n"
    "Language: \n"
    "MIME-Version: 1.0\n"
    "Content-Type: text/plain; charset=UTF-8\n"
    "Content-Transfer-Encoding: 8bit\n"
    "X-Generator: brenmark\n";

// The header put in front of every piece but the first when reading: what
// libgettextpo needs to read the piece as UTF-8. It is three lines long.
constexpr std::string_view PIECE_HEADER =
    "msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n\n";
constexpr std::size_t PIECE_HEADER_LINES = 3;

constexpr std::string_view TEXT_ID_COMMENT = "text id ";

// --- libgettextpo's error reports ------------------------------------------------
//
// libgettextpo reports problems through a handler of plain functions. The
// call in progress is found through `active_call`. A fatal error must not
// return to libgettextpo; the only one that may is the count of errors
// that ends a read (the file is complete then), which libgettextpo reports
// without a line. Any other (a scratch file that cannot be made or read)
// jumps back to the call, past libgettextpo's own frames, which hold no
// destructors.

struct PoCall {
    const std::string* name = nullptr;
    std::size_t first_line = 1;   ///< the file's line at the piece's first line
    std::size_t added_lines = 0;  ///< lines put in front of the piece (PIECE_HEADER)
    std::string error;            ///< the first error, a complete message
    std::vector<std::string>* warnings = nullptr;
    std::jmp_buf fatal;
};

PoCall* active_call = nullptr;

void record_problem(int severity, const char* filename, std::size_t lineno, std::size_t column,
                    const char* text) {
    PoCall& call = *active_call;
    std::string what = text != nullptr ? text : "libgettextpo failed";
    std::replace(what.begin(), what.end(), '\n', ' ');
    while (!what.empty() && what.back() == ' ') {
        what.pop_back();
    }
    std::string where;
    constexpr std::size_t UNKNOWN = std::numeric_limits<std::size_t>::max();
    if (filename != nullptr && lineno != UNKNOWN && lineno != 0) {
        const std::size_t line =
            lineno > call.added_lines ? call.first_line + lineno - call.added_lines - 1 : 1;
        where = "line " + std::to_string(line);
        if (column != UNKNOWN && column != 0) {
            where += ", column " + std::to_string(column);
        }
    }
    if (severity == PO_SEVERITY_WARNING) {
        // A header without a charset is read as UTF-8 all the same (every
        // text is checked), so gettext's warning about converting it to the
        // user's charset says nothing here.
        if (!what.starts_with("Charset missing in header")) {
            call.warnings->push_back(warning_message(*call.name, what, where));
        }
    } else if (call.error.empty()) {
        call.error = error_message(*call.name, what, where);
    }
}

void on_problem(int severity, po_message_t, const char* filename, std::size_t lineno,
                std::size_t column, int, const char* text) {
    record_problem(severity, filename, lineno, column, text);
    if (severity == PO_SEVERITY_FATAL_ERROR &&
        !(filename == nullptr && lineno == std::numeric_limits<std::size_t>::max())) {
        std::longjmp(active_call->fatal, 1);
    }
}

void on_two_problems(int severity, po_message_t, const char* filename1, std::size_t lineno1,
                     std::size_t column1, int, const char* text1, po_message_t, const char*,
                     std::size_t lineno2, std::size_t, int, const char*) {
    // Such as a duplicate entry: the first report names the second place,
    // this message the first.
    const std::string text = std::string(text1 != nullptr ? text1 : "") +
                             (lineno2 != std::numeric_limits<std::size_t>::max() && lineno2 > 0 &&
                                      lineno2 > active_call->added_lines
                                  ? " (first at line " +
                                        std::to_string(active_call->first_line + lineno2 -
                                                       active_call->added_lines - 1) +
                                        ")"
                                  : "");
    on_problem(severity, nullptr, filename1, lineno1, column1, 0, text.c_str());
}

const po_xerror_handler HANDLER = {on_problem, on_two_problems};

// The calls into libgettextpo, each in a frame of its own that holds nothing
// with a destructor, where a fatal error lands.
po_file_t guarded_read(const char* path) {
    if (setjmp(active_call->fatal) != 0) {
        return nullptr;
    }
    return po_file_read(path, &HANDLER);
}

bool guarded_write(po_file_t file, const char* path) {
    if (setjmp(active_call->fatal) != 0) {
        return false;
    }
    return po_file_write(file, path, &HANDLER) != nullptr;
}

// Makes active_call point at `call` while it lives.
class ActiveCall {
  public:
    explicit ActiveCall(PoCall* call) { active_call = call; }
    ~ActiveCall() { active_call = nullptr; }
    ActiveCall(const ActiveCall&) = delete;
    ActiveCall& operator=(const ActiveCall&) = delete;
};

// --- scratch files ---------------------------------------------------------------

// A scratch file of a name of its own in `folder`, made empty; removed when
// `file` is discarded or goes away, and when the run is interrupted.
bool open_scratch(const std::string& folder, AtomicFile* file, std::string* path,
                  std::string* err) {
    for (int n = 0; n < 1000; ++n) {
        *path = folder + "/.brenmark-scratch-" + std::to_string(n) + ".po";
        if (!file->open(*path, err, AtomicFile::NewTarget::in_place, AtomicFile::Target::tree)) {
            return false;
        }
        if (!file->replaces_existing()) {
            return true;
        }
        file->discard();  // someone else's: try the next name
    }
    *err = error_message(folder, "no free name for a scratch file");
    return false;
}

struct FreeString {
    void operator()(char* p) const { std::free(p); }
};

// The charset a PO header declares, or "" when it declares none.
std::string header_charset(const char* header) {
    std::unique_ptr<char, FreeString> type(po_header_field(header, "Content-Type"));
    if (type == nullptr) {
        return {};
    }
    const std::string_view value(type.get());
    const std::size_t at = value.find("charset=");
    if (at == std::string_view::npos) {
        return {};
    }
    std::string_view charset = value.substr(at + 8);
    charset = charset.substr(0, charset.find_first_of(" ;"));
    return std::string(charset);
}

bool same_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// Takes the entries of one piece read by libgettextpo.
bool take_entries(po_file_t file, Translations* out, std::string* err) {
    const std::string& name = out->source();
    po_message_iterator_t it = po_message_iterator(file, nullptr);
    bool ok = true;
    while (po_message_t message = po_next_message(it)) {
        if (po_message_is_obsolete(message)) {
            continue;
        }
        const char* context = po_message_msgctxt(message);
        const std::string_view msgid = po_message_msgid(message);
        auto refuse = [&](const std::string& what, const std::string& where) {
            *err = error_message(name, what, where);
            ok = false;
        };
        const std::string entry_of_msgid =
            "entry with msgid " +
            quoted(std::string(msgid.substr(0, 40)) + (msgid.size() > 40 ? "..." : ""));
        if (context == nullptr) {
            if (msgid.empty()) {
                const std::string charset = header_charset(po_message_msgstr(message));
                if (!charset.empty() && !same_ignoring_case(charset, "UTF-8") &&
                    charset != "CHARSET") {
                    refuse("the file is in " + charset +
                               "; brenmark reads UTF-8 (msgconv --to-code=UTF-8 converts it)",
                           "header");
                    break;
                }
                continue;  // the header
            }
            refuse("the entry has no msgctxt, so it names no record", entry_of_msgid);
            break;
        }
        TextEntry entry;
        if (!parse_record_context(context, &entry.file, &entry.record)) {
            refuse("the msgctxt names no record (\"<file>#<record>\")", "entry " + quoted(context));
            break;
        }
        if (po_message_msgid_plural(message) != nullptr) {
            refuse("a plural entry names no record", "entry " + quoted(context));
            break;
        }
        const char* msgstr = po_message_msgstr(message);
        if (!is_utf8(context) || !is_utf8(msgid) || !is_utf8(msgstr)) {
            refuse("the entry is not UTF-8", "entry " + quoted(context));
            break;
        }
        entry.original = msgid;
        entry.translation = msgstr;
        entry.fuzzy = po_message_is_fuzzy(message) != 0;
        entry.has_text_id = false;
        // "text id N" on a line of the extracted comments. libgettextpo
        // joins them into a string of its own allocation for each call (or
        // gives its static "" when there are none), which is ours to free.
        const char* joined = po_message_extracted_comments(message);
        const std::string all_comments = joined;
        if (*joined != '\0') {
            std::free(const_cast<char*>(joined));
        }
        std::string_view comments = all_comments;
        while (!comments.empty()) {
            const std::size_t end = std::min(comments.find('\n'), comments.size());
            const std::string_view comment = comments.substr(0, end);
            comments.remove_prefix(std::min(end + 1, comments.size()));
            if (!comment.starts_with(TEXT_ID_COMMENT)) {
                continue;
            }
            const std::string number(comment.substr(TEXT_ID_COMMENT.size()));
            char* stop = nullptr;
            const long long id = std::strtoll(number.c_str(), &stop, 10);
            if (number.empty() || *stop != '\0' || id < std::numeric_limits<std::int32_t>::min() ||
                id > std::numeric_limits<std::int32_t>::max()) {
                refuse("the comment \"" + std::string(comment) + "\" gives no text id",
                       "entry " + quoted(context));
                break;
            }
            entry.text_id = static_cast<std::int32_t>(id);
            entry.has_text_id = true;
        }
        if (!ok) {
            break;
        }
        out->add(std::move(entry));
    }
    po_message_iterator_free(it);
    return ok;
}

}  // namespace

// --- writing -----------------------------------------------------------------------

PoWriter::PoWriter(std::string scratch_folder, std::string name, std::size_t piece_entries)
    : scratch_folder_(std::move(scratch_folder)),
      name_(std::move(name)),
      piece_entries_(std::max<std::size_t>(piece_entries, 1)) {}

bool PoWriter::add(const TextEntry& entry, std::string* err) {
    pending_.push_back(entry);
    return pending_.size() < piece_entries_ || write_piece(err);
}

bool PoWriter::write_piece(std::string* err) {
    if (pending_.empty() && !empty_) {
        return true;
    }
    // Every piece carries the header, so that libgettextpo writes it as UTF-8;
    // pieces after the first leave it out again.
    po_file_t file = po_file_create();
    po_message_iterator_t it = po_message_iterator(file, nullptr);
    po_message_t header = po_message_create();
    po_message_set_msgid(header, "");
    po_message_set_msgstr(header, PO_HEADER);
    po_message_insert(it, header);
    for (const TextEntry& entry : pending_) {
        po_message_t message = po_message_create();
        po_message_set_msgctxt(message, record_context(entry.file, entry.record).c_str());
        po_message_set_msgid(message, entry.original.c_str());
        po_message_set_msgstr(message, entry.translation.c_str());
        po_message_set_extracted_comments(
            message, (std::string(TEXT_ID_COMMENT) + std::to_string(entry.text_id)).c_str());
        if (entry.fuzzy) {
            po_message_set_fuzzy(message, 1);
        }
        po_message_insert(it, message);
    }
    po_message_iterator_free(it);
    pending_.clear();

    AtomicFile scratch;
    std::string path;
    PoCall call;
    call.name = &name_;
    std::vector<std::string> warnings;
    call.warnings = &warnings;
    bool written = false;
    if (open_scratch(scratch_folder_, &scratch, &path, err) && scratch.finish(false, err)) {
        const ActiveCall active(&call);
        written = guarded_write(file, path.c_str());
    } else {
        po_file_free(file);
        return false;
    }
    po_file_free(file);
    if (!written || !call.error.empty()) {
        *err = call.error.empty() ? error_message(name_, "libgettextpo could not write it")
                                  : call.error;
        return false;
    }
    ByteBuffer piece;
    if (!read_whole_file(path, &piece, err)) {
        return false;
    }
    scratch.discard();
    const std::string_view text(reinterpret_cast<const char*>(piece.data()), piece.size());
    if (empty_) {
        // The header ends at the first empty line.
        const std::size_t end = text.find("\n\n");
        header_size_ = end == std::string_view::npos ? text.size() : end + 2;
        po_.append(text);
        empty_ = false;
        return true;
    }
    if (text.size() < header_size_ ||
        text.substr(0, header_size_) != std::string_view(po_).substr(0, header_size_)) {
        *err = error_message(name_, "libgettextpo wrote a piece with another header");
        return false;
    }
    po_ += '\n';
    po_.append(text.substr(header_size_));
    return true;
}

bool PoWriter::finish(std::string* po, std::string* err) {
    if (!write_piece(err)) {
        return false;
    }
    *po = std::move(po_);
    po_.clear();
    return true;
}

// --- reading -----------------------------------------------------------------------

bool PoCutter::may_cut_before(std::string_view line) {
    std::size_t pos = line.find_first_not_of(" \t");
    if (pos == std::string_view::npos) {
        return false;  // a blank line belongs to whatever it stands in
    }
    line.remove_prefix(pos);
    bool comment = false;
    if (line.starts_with("#~")) {
        // An obsolete entry: its keywords count as keywords.
        line.remove_prefix(2);
        pos = line.find_first_not_of(" \t");
        line.remove_prefix(pos == std::string_view::npos ? line.size() : pos);
        comment = line.empty() || line.front() == '|';
    } else {
        comment = line.front() == '#';
    }
    const bool starts_entry = comment || line.starts_with("msgctxt") ||
                              (line.starts_with("msgid") && !line.starts_with("msgid_plural"));
    const bool cut = after_msgstr_ && starts_entry;
    if (line.starts_with("msgstr")) {
        after_msgstr_ = true;
    } else if (!comment && (starts_entry || line.starts_with("msgid_plural"))) {
        after_msgstr_ = false;
    } else if (cut) {
        after_msgstr_ = false;  // the first comment of the next entry
    }
    return cut;
}

namespace {

// Reads one piece of the file through a scratch file.
bool read_piece(std::string_view piece, std::size_t first_line, bool first,
                const std::string& scratch_folder, Translations* out,
                std::vector<std::string>* warnings, std::string* err) {
    AtomicFile scratch;
    std::string path;
    if (!open_scratch(scratch_folder, &scratch, &path, err)) {
        return false;
    }
    if ((!first && !scratch.write({reinterpret_cast<const std::uint8_t*>(PIECE_HEADER.data()),
                                   PIECE_HEADER.size()},
                                  err)) ||
        !scratch.write({reinterpret_cast<const std::uint8_t*>(piece.data()), piece.size()}, err) ||
        !scratch.finish(false, err)) {
        return false;
    }
    PoCall call;
    call.name = &out->source();
    call.first_line = first_line;
    call.added_lines = first ? 0 : PIECE_HEADER_LINES;
    call.warnings = warnings;
    po_file_t file = nullptr;
    {
        const ActiveCall active(&call);
        file = guarded_read(path.c_str());
    }
    scratch.discard();
    if (file == nullptr || !call.error.empty()) {
        if (file != nullptr) {
            po_file_free(file);
        }
        *err = call.error.empty() ? error_message(out->source(), "libgettextpo could not read it")
                                  : call.error;
        return false;
    }
    const bool ok = take_entries(file, out, err);
    po_file_free(file);
    return ok;
}

}  // namespace

bool read_po_texts(const std::string& path, const std::string& scratch_folder, Translations* out,
                   std::vector<std::string>* warnings, std::string* err, std::size_t piece_bytes) {
    FileHandle file;
    std::uint64_t size = 0;
    if (!open_input(path, &file, &size, err)) {
        return false;
    }
    // The file is read in blocks; a piece is cut off at the first place
    // PoCutter allows once it holds `piece_bytes`.
    constexpr std::size_t BLOCK = std::size_t{1} << 20;
    std::string buffer;  // read and not yet cut into lines
    std::string piece;   // the lines of the piece being gathered
    std::size_t piece_line = 1;
    std::size_t line_number = 0;
    bool first = true;
    PoCutter cutter;
    std::uint64_t offset = 0;
    std::vector<std::uint8_t> block;
    for (;;) {
        const bool at_end = offset >= size;
        if (!at_end) {
            block.resize(static_cast<std::size_t>(std::min<std::uint64_t>(BLOCK, size - offset)));
            if (!read_exact_at(file, offset, block, path, err)) {
                return false;
            }
            if (offset == 0) {
                const std::string_view head(reinterpret_cast<const char*>(block.data()),
                                            block.size());
                if (starts_with_utf16_bom(head)) {
                    *err = error_message(out->source(), "the file is UTF-16; save it as UTF-8");
                    return false;
                }
            }
            offset += block.size();
            buffer.append(reinterpret_cast<const char*>(block.data()), block.size());
        }
        std::size_t start = 0;
        if (line_number == 0 && buffer.starts_with(UTF8_BOM)) {
            start = UTF8_BOM.size();  // gettext reads no byte-order mark
        }
        for (;;) {
            std::size_t end = buffer.find('\n', start);
            if (end == std::string::npos) {
                if (!at_end || start == buffer.size()) {
                    break;
                }
                end = buffer.size() - 1;  // the last line, without a line end
            }
            const std::string_view line(buffer.data() + start, end + 1 - start);
            ++line_number;
            if (cutter.may_cut_before(line) && piece.size() >= piece_bytes) {
                if (!read_piece(piece, piece_line, first, scratch_folder, out, warnings, err)) {
                    return false;
                }
                first = false;
                piece.clear();
                piece_line = line_number;
            }
            piece.append(line);
            start = end + 1;
        }
        buffer.erase(0, start);
        if (at_end) {
            break;
        }
    }
    return piece.empty() && !first
               ? true
               : read_piece(piece, piece_line, first, scratch_folder, out, warnings, err);
}

std::vector<std::string> po_library_versions() {
    const auto part = [](int shift) { return std::to_string((libgettextpo_version >> shift) & 0xff); };
    return {"libgettextpo " + part(16) + "." + part(8) + "." + part(0)};
}
