// permwell: a command-line host for the Permwell library. It loads the
// library and resolves its exports by name, exactly as any host application does.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host_library.h"
#include "permwell.h"

namespace {

constexpr int exit_success = 0;
constexpr int exit_failure = 1;
constexpr int exit_usage = 2;

using permwell::host::Library;

constexpr const char* usage_commands =
    "usage: permwell [--library PATH] COMMAND ARGS\n"
    "\n"
    "commands:\n"
    "  list PATH                 list the access entries of a file, one \"trustee;mask\" line each\n"
    "  grant PATH ACCOUNT MASK   give ACCOUNT the access MASK on a file, replacing its earlier entries\n"
    "  groups USER               list the local groups of a user\n"
    "\n"
    "MASK is a decimal or 0x-hexadecimal number, letters from \"rwx\", or \"full\".\n"
    "The library is taken from --library, else $PERMWELL_LIBRARY, else\n";

std::string usage() { return std::string(usage_commands) + permwell::host::default_library_help + ".\n"; }

// Loads the library from the first place that names or holds it.
Library load_library(const char* explicit_path, std::string& error) {
    std::vector<std::string> candidates;
    if (explicit_path != nullptr) {
        candidates.emplace_back(explicit_path);
    } else if (const char* from_environment = std::getenv("PERMWELL_LIBRARY"); from_environment && *from_environment) {
        candidates.emplace_back(from_environment);
    } else {
        candidates = permwell::host::default_library_candidates();
    }
    return Library::load(candidates, error);
}

// MASK as decimal (signed values as listed, too), 0x-hexadecimal, "rwx" letters or "full".
std::optional<std::uint32_t> parse_mask(std::string_view text) {
    if (text == "full") {
        return 0x1F01FFu;
    }
    if (!text.empty() && text.find_first_not_of("rwx") == std::string_view::npos) {
        bool r = false, w = false, x = false;
        for (char letter : text) {
            bool& seen = letter == 'r' ? r : letter == 'w' ? w : x;
            if (seen) {
                return std::nullopt;
            }
            seen = true;
        }
        if (r && w && x) {
            return 0x1F01FFu;
        }
        return (r ? 0x120089u : 0u) | (w ? 0x120116u : 0u) | (x ? 0x1200A0u : 0u);
    }
    const std::string digits(text);
    const bool hexadecimal = digits.starts_with("0x") || digits.starts_with("0X");
    if (digits.empty() || (!hexadecimal && digits.find_first_not_of("-0123456789") != std::string::npos)) {
        return std::nullopt;
    }
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(digits.c_str(), &end, hexadecimal ? 16 : 10);
    if (errno != 0 || end == digits.c_str() || *end != '\0' || value < INT32_MIN || value > UINT32_MAX ||
        (hexadecimal && digits.size() == 2)) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

int usage_error(const std::string& message) {
    std::fprintf(stderr, "permwell: %s\n\n%s", message.c_str(), usage().c_str());
    return exit_usage;
}

int failure(const std::string& message) {
    std::fprintf(stderr, "permwell: %s\n", message.c_str());
    return exit_failure;
}

int list_command(const Library& library, const char* path) {
    auto* read_access_rights = library.resolve<decltype(ReadAccessRights)>("ReadAccessRights");
    if (read_access_rights == nullptr) {
        return failure("the library has no ReadAccessRights");
    }
    std::vector<char> buffer(PERMWELL_READ_BUFFER_SIZE);
    std::int32_t length = 0;
    if (read_access_rights(path, buffer.data(), &length) != 1) {
        return failure(std::string("cannot read the access rights of ") + path);
    }
    std::fwrite(buffer.data(), 1, static_cast<std::size_t>(length), stdout);
    return exit_success;
}

int grant_command(const Library& library, const char* path, const char* account, const char* mask_text) {
    const auto mask = parse_mask(mask_text);
    if (!mask) {
        return usage_error("MASK must be a number, letters from \"rwx\" or \"full\"");
    }
    auto* set_access_rights = library.resolve<decltype(SetAccessRights)>("SetAccessRights");
    if (set_access_rights == nullptr) {
        return failure("the library has no SetAccessRights");
    }
    if (set_access_rights(path, account, *mask) != 1) {
        std::fflush(stdout);
        return failure(std::string("cannot give ") + account + " access to " + path);
    }
    return exit_success;
}

int groups_command(const Library& library, const char* user) {
    auto* get_user_groups = library.resolve<decltype(GetUserGroups)>("GetUserGroups");
    if (get_user_groups == nullptr) {
        return failure("the library has no GetUserGroups");
    }
    // A refused text hands back the length of the whole text. An unchanged
    // length means a real failure, unless the text needed exactly the
    // capacity, so one retry with a byte more settles that case.
    std::uint32_t capacity = 4096;
    bool retried_same_length = false;
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::vector<char> buffer(capacity);
        std::uint32_t length = capacity;
        if (get_user_groups(user, buffer.data(), &length) == 1) {
            std::fwrite(buffer.data(), 1, length, stdout);
            return exit_success;
        }
        if (length > capacity && length < UINT32_MAX) {
            capacity = length + 1;
        } else if (length == capacity && !retried_same_length) {
            retried_same_length = true;
            capacity += 1;
        } else {
            break;
        }
    }
    return failure(std::string("cannot list the groups of ") + user);
}

}  // namespace

int main(int argc, char** argv) {
    permwell::host::use_binary_output();
    std::vector<const char*> args(argv + 1, argv + argc);
    const char* library_path = nullptr;
    if (!args.empty() && (std::strcmp(args[0], "--help") == 0 || std::strcmp(args[0], "-h") == 0)) {
        std::fputs(usage().c_str(), stdout);
        return exit_success;
    }
    if (!args.empty() && std::strcmp(args[0], "--library") == 0) {
        if (args.size() < 2) {
            return usage_error("--library needs a PATH");
        }
        library_path = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty()) {
        return usage_error("missing COMMAND");
    }
    const std::string_view command = args[0];
    const std::size_t wanted = command == "list" ? 2 : command == "grant" ? 4 : command == "groups" ? 2 : 0;
    if (wanted == 0) {
        return usage_error("unknown command \"" + std::string(command) + "\"");
    }
    if (args.size() != wanted) {
        return usage_error(std::string(command) + " takes " + std::to_string(wanted - 1) +
                           (wanted == 2 ? " argument" : " arguments"));
    }

    std::string error;
    const Library library = load_library(library_path, error);
    if (!library) {
        return failure("cannot load the library: " + error);
    }
    if (command == "list") {
        return list_command(library, args[1]);
    }
    if (command == "grant") {
        return grant_command(library, args[1], args[2], args[3]);
    }
    return groups_command(library, args[1]);
}
