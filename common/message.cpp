#include "common/message.h"

namespace {

std::string shaped(std::string_view kind, std::string_view file, std::string_view what,
                   std::string_view where) {
    std::string text(kind);
    if (!file.empty()) {
        text.append(file).append(": ");
    }
    text.append(what);
    if (!where.empty()) {
        text.append(" (").append(where).append(")");
    }
    return text;
}

}  // namespace

std::string error_message(std::string_view file, std::string_view what, std::string_view where) {
    return shaped("Error: ", file, what, where);
}

std::string warning_message(std::string_view file, std::string_view what,
                            std::string_view where) {
    return shaped("Warning: ", file, what, where);
}

std::string quoted(std::string_view name) {
    return "\"" + std::string(name) + "\"";
}
