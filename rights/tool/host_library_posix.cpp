// Loading the library on Linux: dlopen, beside the program first.
#include <dlfcn.h>
#include <unistd.h>

#include "host_library.h"

// The name the runtime library is installed under; the build sets it.
#ifndef PERMWELL_SONAME
#define PERMWELL_SONAME "libPermwell.so"
#endif

namespace permwell::host {

namespace {

std::string executable_directory() {
    std::vector<char> path(4096);
    const ssize_t length = readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (length <= 0) {
        return {};
    }
    std::string text(path.data(), static_cast<std::size_t>(length));
    const auto slash = text.rfind('/');
    return slash == std::string::npos ? std::string{} : text.substr(0, slash);
}

}  // namespace

const char* const default_library_help =
    "../lib/libPermwell.so next to this program, else " PERMWELL_SONAME " through the\nnormal library search";

std::vector<std::string> default_library_candidates() {
    std::vector<std::string> candidates;
    if (const std::string directory = executable_directory(); !directory.empty()) {
        const std::string beside = directory + "/../lib/libPermwell.so";
        if (access(beside.c_str(), F_OK) == 0) {
            candidates.push_back(beside);
        }
    }
    candidates.emplace_back(PERMWELL_SONAME);
    return candidates;
}

void use_binary_output() {}

struct Library::Handle {
    void* library = nullptr;
    ~Handle() {
        if (library != nullptr) {
            dlclose(library);
        }
    }
};

Library Library::load(const std::vector<std::string>& candidates, std::string& error) {
    for (const std::string& candidate : candidates) {
        if (void* library = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL)) {
            auto handle = std::make_unique<Handle>();
            handle->library = library;
            return Library(std::move(handle));
        }
        const char* reason = dlerror();
        error = reason != nullptr ? reason : candidate + ": cannot be loaded";
    }
    return Library(nullptr);
}

Library::Library(std::unique_ptr<Handle> handle) : handle_(std::move(handle)) {}
Library::Library(Library&&) noexcept = default;
Library& Library::operator=(Library&&) noexcept = default;
Library::~Library() = default;
Library::operator bool() const { return handle_ != nullptr; }

void* Library::find(const char* name) const { return handle_ ? dlsym(handle_->library, name) : nullptr; }

}  // namespace permwell::host
