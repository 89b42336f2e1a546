// The relay's header check and copy: an output file of any content and length
// reaches the sink byte for byte, after the default header exactly when it
// does not begin with "HTTP" in any letter case; an empty file gives the
// no-output page alone. Log lines for any message stay one whole line.
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "ascii.h"
#include "fuzz_check.h"
#include "posix/io.h"
#include "relay.h"
#include "texts.h"

namespace {

// One scratch directory for the whole fuzzing process, removed at exit.
struct Scratch {
    std::string dir;
    Scratch() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && base[0] == '/' ? base : "/tmp") + "/qg-relay-fuzz.XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        dir = pattern + "/";
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
};

// A new file each time: truncating one that holds data makes some file
// systems flush it first, which would slow every run down.
void write_whole(const std::string& path, std::string_view content) {
    ::unlink(path.c_str());
    qg::posix::Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    FUZZ_CHECK(fd.valid());
    while (!content.empty()) {
        const ssize_t n = ::write(fd.get(), content.data(), content.size());
        FUZZ_CHECK(n > 0);
        content.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Scratch scratch;
    FuzzedDataProvider input(data, size);
    const std::string message = input.ConsumeRandomLengthString(700);
    const int code = input.ConsumeIntegral<int>();
    const std::string content = input.ConsumeRemainingBytesAsString();

    const std::string output_path = scratch.dir + "cgi1.TMP";
    write_whole(output_path, content);
    std::string relayed;
    const bool opened = qg::relay_output_file(output_path, scratch.dir + "zrCGIErr.txt", [&](std::string_view bytes) {
        FUZZ_CHECK(bytes.size() <= qg::relay_piece);  // never more than one buffer at a time
        relayed += bytes;
    });
    FUZZ_CHECK(opened);
    if (content.empty()) {
        FUZZ_CHECK(relayed == qg::error_page(qg::text::title_no_output, qg::text::page_no_output));
    } else if (content.size() >= 4 && qg::ascii::starts_with_any_case(content, "http")) {
        FUZZ_CHECK(relayed == content);
    } else {
        FUZZ_CHECK(relayed == std::string(qg::text::default_header) + content);
    }

    // One log line: the fixed stamp, the entry cut to 500 bytes, CR LF.
    const std::string line = qg::log_line({31, 12, 2026, 23, 59}, message, code);
    const std::string entry = " " + message + " - " + std::to_string(code);
    FUZZ_CHECK(line == "31/12/2026 23:59  " + entry.substr(0, 500) + "\r\n");
    return 0;
}
