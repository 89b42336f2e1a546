// Reads error-log lines back in tests: "dd/mm/yyyy hh:mm  " then
// " message - code" and CR LF.
#pragma once

#include <cctype>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace qg::test {

struct LogEntry {
    std::string message;
    std::string code;
};

// Parses one line without its final LF; nothing when it is malformed.
inline std::optional<LogEntry> parse_log_line(const std::string& line) {
    const std::string shape = "dd/dd/dddd dd:dd   ";
    if (line.size() < shape.size() + 1 || line.back() != '\r') return std::nullopt;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(line[i])) != 0;
        if (shape[i] == 'd' ? !digit : line[i] != shape[i]) return std::nullopt;
    }
    const std::string entry = line.substr(shape.size(), line.size() - shape.size() - 1);
    const auto dash = entry.rfind(" - ");
    if (dash == std::string::npos) return std::nullopt;
    LogEntry result{entry.substr(0, dash), entry.substr(dash + 3)};
    const std::string digits = result.code.substr(result.code.rfind('-', 0) == 0 ? 1 : 0);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    return result;
}

// The messages of a whole log, in order; a malformed line shows as such.
inline std::vector<std::string> log_messages(const std::string& log) {
    std::vector<std::string> messages;
    std::istringstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        const auto entry = parse_log_line(line);
        messages.push_back(entry ? entry->message : "malformed: " + line);
    }
    return messages;
}

}  // namespace qg::test
