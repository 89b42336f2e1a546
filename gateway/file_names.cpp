#include "file_names.h"

#include <algorithm>

#include "ascii.h"
#include "platform.h"

namespace qg::file_names {

std::string temp_name_candidate(std::string_view dir, std::string_view prefix, std::uint16_t number) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string name(dir);
    if (!platform::ends_with_separator(name)) name += platform::path_separator();
    name += prefix.substr(0, 3);
    char hex[4];
    int n = 0;
    for (unsigned v = number; v != 0; v >>= 4) hex[n++] = digits[v & 0xF];
    while (n > 0) name += hex[--n];
    name += ".TMP";
    return name;
}

Search find_free_name(std::string_view dir, std::string_view prefix, std::uint16_t start,
                      const std::function<Attempt(const std::string&)>& create) {
    std::uint16_t number = start == 0 ? 1 : start;
    for (unsigned tries = 0; tries < 0xFFFF; ++tries) {
        std::string candidate = temp_name_candidate(dir, prefix, number);
        const Attempt attempt = create(candidate);
        if (attempt == Attempt::made) return {attempt, std::move(candidate), number};
        if (attempt == Attempt::failed) return {attempt, {}, 0};
        number = number == 0xFFFF ? 1 : static_cast<std::uint16_t>(number + 1);
    }
    return {Attempt::taken, {}};
}

std::uint16_t SearchCursor::start(std::uint16_t seed) const {
    const std::uint16_t last = last_.load(std::memory_order_relaxed);
    if (last == 0) return seed;
    return last == 0xFFFF ? 1 : static_cast<std::uint16_t>(last + 1);
}

void SearchCursor::made(std::uint16_t number) { last_.store(number, std::memory_order_relaxed); }

std::vector<std::string> usual_spellings(std::string_view path) {
    const std::size_t name_at = platform::file_name_start(path);
    const std::string dir(path.substr(0, name_at));
    const std::string name(path.substr(name_at));
    const std::size_t dot = name.rfind('.');
    const auto cased = [](std::string text, bool upper) {
        for (char& c : text)
            c = upper ? (c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c) : ascii::lower(c);
        return text;
    };
    std::string other_extension = name;
    if (dot != std::string::npos) {
        const std::string extension = name.substr(dot);
        const bool upper = extension != cased(extension, true);
        other_extension = name.substr(0, dot) + cased(extension, upper);
    }
    std::vector<std::string> spellings;
    for (const std::string& spelling : {name, other_extension, cased(name, false), cased(name, true)})
        if (std::find(spellings.begin(), spellings.end(), dir + spelling) == spellings.end())
            spellings.push_back(dir + spelling);
    return spellings;
}

std::vector<std::string> signal_spellings(std::string_view request_path) {
    std::string signal(request_path.substr(0, request_path.size() - 4));  // less ".TMP"
    return usual_spellings(signal + ".ret");
}

Search find_free_request_name(std::string_view dir, std::string_view prefix, std::uint16_t start, LetterCase names,
                              const std::function<Lookup(const std::string&)>& look_up,
                              const std::function<bool(const std::string&)>& search,
                              const std::function<Attempt(const std::string&)>& create) {
    return find_free_name(dir, prefix, start, [&](const std::string& candidate) {
        auto spellings = signal_spellings(candidate);
        if (names == LetterCase::ignored) spellings.resize(1);
        bool unknown = false;
        for (const auto& signal : spellings) {
            const Lookup found = look_up(signal);
            if (found == Lookup::present) return Attempt::taken;
            unknown = unknown || found == Lookup::unknown;
        }
        if (unknown && search(spellings.front())) return Attempt::taken;
        return create(candidate);
    });
}

}  // namespace qg::file_names
