#include "fastcgi/answer.h"

#include <utility>

#include "ascii.h"
#include "fastcgi/record.h"

namespace qg::fastcgi {

void Answer::add(std::string_view piece) {
    if (piece.empty()) return;
    if (std::exchange(first_, false)) {
        const auto line_end = piece.find('\n');
        const auto space = piece.find(' ');
        if (ascii::starts_with_any_case(piece, "http") && line_end != std::string_view::npos &&
            space != std::string_view::npos && space < line_end) {
            std::string head = "Status:";
            head += piece.substr(space, line_end + 1 - space);
            append_records(records_, Type::stdout_stream, id_, head);
            piece.remove_prefix(line_end + 1);
            if (piece.empty()) return;
        }
    }
    append_records(records_, Type::stdout_stream, id_, piece);
}

}  // namespace qg::fastcgi
