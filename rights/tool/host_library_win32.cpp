// Loading the library on Windows: LoadLibraryA, whose search starts in the
// program's own folder, and GetProcAddress by export name.
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "host_library.h"

namespace permwell::host {

const char* const default_library_help = "Permwell.dll, searched from this program's folder";

std::vector<std::string> default_library_candidates() { return {"Permwell.dll"}; }

// The C runtime's text mode would turn every "\n" of a CR LF line into CR LF.
void use_binary_output() { _setmode(_fileno(stdout), _O_BINARY); }

struct Library::Handle {
    HMODULE library = nullptr;
    ~Handle() {
        if (library != nullptr) {
            FreeLibrary(library);
        }
    }
};

Library Library::load(const std::vector<std::string>& candidates, std::string& error) {
    for (const std::string& candidate : candidates) {
        if (HMODULE library = LoadLibraryA(candidate.c_str())) {
            auto handle = std::make_unique<Handle>();
            handle->library = library;
            return Library(std::move(handle));
        }
        error = candidate + ": cannot be loaded (error " + std::to_string(GetLastError()) + ")";
    }
    return Library(nullptr);
}

Library::Library(std::unique_ptr<Handle> handle) : handle_(std::move(handle)) {}
Library::Library(Library&&) noexcept = default;
Library& Library::operator=(Library&&) noexcept = default;
Library::~Library() = default;
Library::operator bool() const { return handle_ != nullptr; }

void* Library::find(const char* name) const {
    return handle_ ? reinterpret_cast<void*>(GetProcAddress(handle_->library, name)) : nullptr;
}

}  // namespace permwell::host
