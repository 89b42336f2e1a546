// Cost of building a request file's text: the field encoder over values of
// several sizes and the whole variable line for a typical CGI environment.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "request_file.h"

namespace {

void BM_EncodeField(benchmark::State& state) {
    std::string value;
    for (std::int64_t i = 0; i < state.range(0); ++i) value.push_back(static_cast<char>("aZ9 .-_/%\xE9"[i % 10]));
    for (auto _ : state) benchmark::DoNotOptimize(qg::encode_field(value));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_EncodeField)->Arg(16)->Arg(127)->Arg(4096)->Arg(65536);

// About thirty variables, as lighttpd passes them for a browser's request.
std::vector<std::string> typical_environment() {
    std::vector<std::string> env = {
        "SERVER_SOFTWARE=lighttpd/1.4.69", "SERVER_NAME=127.0.0.1", "GATEWAY_INTERFACE=CGI/1.1",
        "SERVER_PROTOCOL=HTTP/1.1", "SERVER_PORT=8080", "SERVER_ADDR=127.0.0.1", "REQUEST_METHOD=POST",
        "REDIRECT_STATUS=200", "QUERY_STRING=item=42&mode=full&lang=en", "REQUEST_URI=/cgi-bin/qg?item=42",
        "SCRIPT_NAME=/cgi-bin/qg", "SCRIPT_FILENAME=/srv/cgi-bin/qg", "DOCUMENT_ROOT=/srv/www",
        "REMOTE_ADDR=127.0.0.1", "REMOTE_PORT=51234", "CONTENT_LENGTH=27",
        "CONTENT_TYPE=application/x-www-form-urlencoded", "HTTP_HOST=127.0.0.1:8080",
        "HTTP_USER_AGENT=Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 Chrome/120.0 Safari/537.36",
        "HTTP_ACCEPT=text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8",
        "HTTP_ACCEPT_LANGUAGE=en-US,en;q=0.9", "HTTP_ACCEPT_ENCODING=gzip, deflate, br",
        "HTTP_CONNECTION=keep-alive", "HTTP_COOKIE=session=0123456789abcdef; theme=dark",
        "HTTP_REFERER=http://127.0.0.1:8080/form.html", "HTTP_CACHE_CONTROL=max-age=0",
        "PATH=/usr/local/bin:/usr/bin:/bin"};
    return env;
}

void BM_RequestText(benchmark::State& state) {
    const auto env = typical_environment();
    const std::string body = "name=Ada+Lovelace&topic=ops";
    for (auto _ : state) {
        std::string text;
        qg::add_environment(text, env);
        qg::finish_variables(text);
        qg::append_body(text, body);
        qg::prepend_output_file(text, "/var/lib/quillgate/work/cgi1A2B.TMP");
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(BM_RequestText);

}  // namespace

BENCHMARK_MAIN();
