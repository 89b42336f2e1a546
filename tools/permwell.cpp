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

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

using permwell::host::Library;

constexpr const char* kUsageCommands =
    "usage: permwell [--library PATH] COMMAND ARGS\n"
    "\n"
    "commands:\n"
    "  list PATH                 list the access entries of a file, one \"trustee;mask\" line each\n"
    "  grant PATH ACCOUNT MASK   give ACCOUNT the access MASK on a file, replacing its earlier entries\n"
    "  groups USER               list the local groups of a user\n"
    "\n"
    "MASK is a decimal or 0x-hexadecimal number, letters from \"rwx\", or \"full\".\n"
    "The library is taken from --library, else $PERMWELL_LIBRARY, else\n";

std::string usage() { return std::string(kUsageCommands) + permwell::host::kDefaultLibraryHelp + ".\n"; }

// Loads the library from the first place that names or holds it.
Library loadLibrary(const char* explicitPath, std::string& error) {
    std::vector<std::string> candidates;
    if (explicitPath != nullptr) {
        candidates.emplace_back(explicitPath);
    } else if (const char* fromEnvironment = std::getenv("PERMWELL_LIBRARY"); fromEnvironment && *fromEnvironment) {
        candidates.emplace_back(fromEnvironment);
    } else {
        candidates = permwell::host::defaultLibraryCandidates();
    }
    return Library::load(candidates, error);
}

// MASK as decimal (signed values as listed, too), 0x-hexadecimal, "rwx" letters or "full".
std::optional<std::uint32_t> parseMask(std::string_view text) {
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

int usageError(const std::string& message) {
    std::fprintf(stderr, "permwell: %s\n\n%s", message.c_str(), usage().c_str());
    return kExitUsage;
}

int failure(const std::string& message) {
    std::fprintf(stderr, "permwell: %s\n", message.c_str());
    return kExitFailure;
}

int listCommand(const Library& library, const char* path) {
    auto* readAccessRights = library.resolve<decltype(ReadAccessRights)>("ReadAccessRights");
    if (readAccessRights == nullptr) {
        return failure("the library has no ReadAccessRights");
    }
    std::vector<char> buffer(PERMWELL_READ_BUFFER_SIZE);
    std::int32_t length = 0;
    if (readAccessRights(path, buffer.data(), &length) != 1) {
        return failure(std::string("cannot read the access rights of ") + path);
    }
    std::fwrite(buffer.data(), 1, static_cast<std::size_t>(length), stdout);
    return kExitSuccess;
}

int grantCommand(const Library& library, const char* path, const char* account, const char* maskText) {
    const auto mask = parseMask(maskText);
    if (!mask) {
        return usageError("MASK must be a number, letters from \"rwx\" or \"full\"");
    }
    auto* setAccessRights = library.resolve<decltype(SetAccessRights)>("SetAccessRights");
    if (setAccessRights == nullptr) {
        return failure("the library has no SetAccessRights");
    }
    if (setAccessRights(path, account, *mask) != 1) {
        std::fflush(stdout);
        return failure(std::string("cannot give ") + account + " access to " + path);
    }
    return kExitSuccess;
}

int groupsCommand(const Library& library, const char* user) {
    auto* getUserGroups = library.resolve<decltype(GetUserGroups)>("GetUserGroups");
    if (getUserGroups == nullptr) {
        return failure("the library has no GetUserGroups");
    }
    // A refused text hands back the length of the whole text. An unchanged
    // length means a real failure, unless the text needed exactly the
    // capacity, so one retry with a byte more settles that case.
    std::uint32_t capacity = 4096;
    bool retriedSameLength = false;
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::vector<char> buffer(capacity);
        std::uint32_t length = capacity;
        if (getUserGroups(user, buffer.data(), &length) == 1) {
            std::fwrite(buffer.data(), 1, length, stdout);
            return kExitSuccess;
        }
        if (length > capacity && length < UINT32_MAX) {
            capacity = length + 1;
        } else if (length == capacity && !retriedSameLength) {
            retriedSameLength = true;
            capacity += 1;
        } else {
            break;
        }
    }
    return failure(std::string("cannot list the groups of ") + user);
}

}  // namespace

int main(int argc, char** argv) {
    permwell::host::useBinaryOutput();
    std::vector<const char*> args(argv + 1, argv + argc);
    const char* libraryPath = nullptr;
    if (!args.empty() && (std::strcmp(args[0], "--help") == 0 || std::strcmp(args[0], "-h") == 0)) {
        std::fputs(usage().c_str(), stdout);
        return kExitSuccess;
    }
    if (!args.empty() && std::strcmp(args[0], "--library") == 0) {
        if (args.size() < 2) {
            return usageError("--library needs a PATH");
        }
        libraryPath = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty()) {
        return usageError("missing COMMAND");
    }
    const std::string_view command = args[0];
    const std::size_t wanted = command == "list" ? 2 : command == "grant" ? 4 : command == "groups" ? 2 : 0;
    if (wanted == 0) {
        return usageError("unknown command \"" + std::string(command) + "\"");
    }
    if (args.size() != wanted) {
        return usageError(std::string(command) + " takes " + std::to_string(wanted - 1) + (wanted == 2 ? " argument" : " arguments"));
    }

    std::string error;
    const Library library = loadLibrary(libraryPath, error);
    if (!library) {
        return failure("cannot load the library: " + error);
    }
    if (command == "list") {
        return listCommand(library, args[1]);
    }
    if (command == "grant") {
        return grantCommand(library, args[1], args[2], args[3]);
    }
    return groupsCommand(library, args[1]);
}
