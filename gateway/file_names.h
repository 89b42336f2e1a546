// The names of the gateway's own files and the search for a free number
// among them, the same on every system. The platform layer supplies what
// touches the file system: making a file under a candidate name, and looking
// a name up.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qg::file_names {

// The candidate name for `number` (1 to 0xFFFF): `dir`, the system's
// separator when `dir` does not end with one, the first three characters of
// `prefix`, the number in upper-case hexadecimal without leading zeros, and
// ".TMP".
std::string temp_name_candidate(std::string_view dir, std::string_view prefix, std::uint16_t number);

// How one attempt to make a file under a candidate name ended.
enum class Attempt {
    made,    // the file was created
    taken,   // the name (or its number) is in use: the search goes on
    failed,  // an error that another number would not cure; the platform's error holds it
};

// How a search ended: with `path` made, with every number taken, or with the
// attempt that failed.
struct Search {
    Attempt end = Attempt::taken;
    std::string path;
    std::uint16_t number = 0;  // of the name made
};

// Where a process's searches for a free number start. The first starts at
// `seed`, a value that differs between processes and over time, so gateways
// started together seldom try the same names; each later one starts just
// after the number the last one made. A responder makes many files that are
// still there when it makes the next: starting each search afresh near the
// same seed, it would try its own files one by one first, each try an
// exclusive create that takes the directory's lock.
class SearchCursor {
public:
    std::uint16_t start(std::uint16_t seed) const;
    void made(std::uint16_t number);

private:
    std::atomic<std::uint16_t> last_{0};  // 0: nothing made yet
};

// Tries candidates from `start` upward (0 counts as 1), wrapping from 0xFFFF
// to 1, each number once, until `create` makes one or fails.
Search find_free_name(std::string_view dir, std::string_view prefix, std::uint16_t start,
                      const std::function<Attempt(const std::string&)>& create);

// The usual spellings of a file's name, each once: as given, with its
// extension in the other letter case, all in lower case, all in upper case.
std::vector<std::string> usual_spellings(std::string_view path);

// The signal file's name of a request file: ".ret" in place of ".TMP".
// Its usual spellings, that one first.
std::vector<std::string> signal_spellings(std::string_view request_path);

// What looking up one name found.
enum class Lookup { absent, present, unknown };

// Whether the file system tells names apart by letter case.
enum class LetterCase { kept, ignored };

// The search for a request file's name, where a number also counts as taken
// when its signal file is there in any letter case: a signal file left by an
// earlier request must not answer a new one. Each spelling of the signal
// file is looked up in turn (`look_up`; where names ignore letter case, the
// first spelling finds them all); only when a look-up cannot tell is the
// directory searched for it in any letter case (`search`). Then `create`
// makes the request file.
Search find_free_request_name(std::string_view dir, std::string_view prefix, std::uint16_t start, LetterCase names,
                              const std::function<Lookup(const std::string&)>& look_up,
                              const std::function<bool(const std::string&)>& search,
                              const std::function<Attempt(const std::string&)>& create);

}  // namespace qg::file_names
