// How the permwell host finds and loads the library: the one part of the host
// that differs between Linux (dlopen) and Windows (LoadLibraryA).
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace permwell::host {

// Where the library is looked for when neither --library nor
// $PERMWELL_LIBRARY names it, as the usage text says.
extern const char* const default_library_help;

// The places to try, in order, when no path is given.
std::vector<std::string> default_library_candidates();

// Makes standard output write bytes as they are, so CR LF lines stay CR LF.
void use_binary_output();

// A loaded library; released when the object goes away.
class Library {
public:
    // Loads the first candidate that loads; `error` tells why the last one did not.
    static Library load(const std::vector<std::string>& candidates, std::string& error);

    Library(Library&&) noexcept;
    Library& operator=(Library&&) noexcept;
    ~Library();
    explicit operator bool() const;

    // The export of that name, or null.
    void* find(const char* name) const;

    template <typename Function>
    Function* resolve(const char* name) const {
        return reinterpret_cast<Function*>(find(name));
    }

private:
    struct Handle;
    explicit Library(std::unique_ptr<Handle> handle);
    std::unique_ptr<Handle> handle_;
};

}  // namespace permwell::host
