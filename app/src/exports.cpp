// The C interface: handles over the C++ core, results as numbers, messages
// kept per thread. No exception crosses into the caller.
#include <quillgate/app.h>

#include <cstring>
#include <new>
#include <string>

#include "work_directory.h"

struct qga_dir {
    std::unique_ptr<qga::WorkDirectory> work;
};

struct qga_request {
    std::unique_ptr<qga::Request> request;
};

namespace {

thread_local std::string last_error;

int fail(int code, std::string message) {
    last_error = std::move(message);
    return code;
}

int ok() {
    last_error.clear();
    return QGA_OK;
}

int to_code(qga::Request::Result result, std::string& error) {
    switch (result) {
        case qga::Request::Result::ok: return ok();
        case qga::Request::Result::gone: return fail(QGA_GONE, error);
        case qga::Request::Result::refused: return fail(QGA_REFUSED, error);
        case qga::Request::Result::invalid: return fail(QGA_INVALID, error);
        case qga::Request::Result::failed: return fail(QGA_ERROR, error);
    }
    return fail(QGA_ERROR, error);
}

// Runs `body`, turning an exception (memory exhausted) into QGA_ERROR.
template <typename Body>
int guarded(Body body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return fail(QGA_ERROR, "out of memory");
    } catch (const std::exception& e) {
        return fail(QGA_ERROR, e.what());
    }
}

}  // namespace

extern "C" {

QGA_API const char* qga_last_error(void) { return last_error.c_str(); }

QGA_API int qga_open(const char* workdir, const char* prefix, const qga_options* options, qga_dir** out) {
    if (workdir == nullptr || prefix == nullptr || out == nullptr || *workdir == '\0') {
        return fail(QGA_INVALID, "qga_open needs a work directory, a prefix and a place for the handle");
    }
    *out = nullptr;
    return guarded([&] {
        qga::Options settings;
        if (options != nullptr) {
            // Fields beyond the caller's `size` are left at their defaults.
            qga_options given{};
            std::memcpy(&given, options, std::min(sizeof given, options->size));
            if (given.claim_expiry_s != 0) settings.claim_expiry = std::chrono::seconds(given.claim_expiry_s);
            if (given.max_request_bytes != 0) settings.max_request_bytes = given.max_request_bytes;
            if (given.scan_interval_ms != 0) settings.scan_interval = std::chrono::milliseconds(given.scan_interval_ms);
        }
        std::string error;
        auto work = qga::WorkDirectory::open(workdir, prefix, settings, &error);
        if (!work) return fail(QGA_ERROR, error);
        *out = new qga_dir{std::move(work)};
        return ok();
    });
}

QGA_API void qga_close(qga_dir* dir) { delete dir; }

QGA_API int qga_accept(qga_dir* dir, int timeout_ms, qga_request** out) {
    if (dir == nullptr || out == nullptr)
        return fail(QGA_INVALID, "qga_accept needs a directory and a place for the request");
    *out = nullptr;
    return guarded([&] {
        std::unique_ptr<qga::Request> request;
        std::string error;
        switch (dir->work->accept(std::chrono::milliseconds(timeout_ms), &request, &error)) {
            case qga::WorkDirectory::Accept::ok: *out = new qga_request{std::move(request)}; return ok();
            case qga::WorkDirectory::Accept::timeout: return fail(QGA_TIMEOUT, "no request arrived in time");
            case qga::WorkDirectory::Accept::failed: return fail(QGA_ERROR, error);
        }
        return fail(QGA_ERROR, error);
    });
}

QGA_API int qga_skipped(qga_dir* dir, char* buffer, size_t size) {
    if (dir == nullptr || buffer == nullptr || size == 0) return 0;
    try {
        const auto line = dir->work->next_skipped();
        if (!line) return 0;
        const std::size_t n = std::min(line->size(), size - 1);
        std::memcpy(buffer, line->data(), n);
        buffer[n] = '\0';
        return 1;
    } catch (...) {
        return 0;
    }
}

QGA_API void qga_interrupt(qga_dir* dir) {
    if (dir != nullptr) dir->work->interrupt();
}

QGA_API const char* qga_request_name(const qga_request* req) {
    return req == nullptr ? "" : req->request->name().c_str();
}

QGA_API const char* qga_output_path(const qga_request* req) {
    return req == nullptr ? "" : req->request->text().output_path.c_str();
}

QGA_API size_t qga_param_count(const qga_request* req) {
    return req == nullptr ? 0 : req->request->text().variables.size();
}

QGA_API int qga_param_at(const qga_request* req, size_t index, const char** name, const char** value,
                         size_t* value_length) {
    if (req == nullptr || index >= req->request->text().variables.size()) {
        return fail(QGA_INVALID, "no variable at that index");
    }
    // Both texts are followed by a zero byte where the request keeps them.
    const auto& variable = req->request->text().variables[index];
    if (name != nullptr) *name = variable.name.data();
    if (value != nullptr) *value = variable.value.data();
    if (value_length != nullptr) *value_length = variable.value.size();
    return ok();
}

QGA_API const char* qga_param(const qga_request* req, const char* name, size_t* value_length) {
    if (value_length != nullptr) *value_length = 0;
    if (req == nullptr || name == nullptr) return nullptr;
    try {
        const qga::Variable* variable = req->request->find(name);
        if (variable == nullptr) return nullptr;
        if (value_length != nullptr) *value_length = variable->value.size();
        return variable->value.data();
    } catch (...) {
        return nullptr;
    }
}

QGA_API const char* qga_body(const qga_request* req, size_t* length) {
    if (req == nullptr) {
        if (length != nullptr) *length = 0;
        return "";
    }
    const std::string& body = req->request->text().body;
    if (length != nullptr) *length = body.size();
    return body.c_str();
}

QGA_API int qga_write(qga_request* req, const void* data, size_t length) {
    if (req == nullptr || (data == nullptr && length != 0))
        return fail(QGA_INVALID, "qga_write needs a request and data");
    return guarded([&] {
        std::string error;
        const auto result =
            req->request->write(std::string_view(static_cast<const char*>(data), data == nullptr ? 0 : length), &error);
        return to_code(result, error);
    });
}

QGA_API int qga_finish(qga_request* req) {
    if (req == nullptr) return fail(QGA_INVALID, "qga_finish needs a request");
    return guarded([&] {
        std::string error;
        const auto result = req->request->finish(&error);
        return to_code(result, error);
    });
}

QGA_API int qga_answer(qga_request* req, const void* data, size_t length) {
    const int written = qga_write(req, data, length);
    return written == QGA_OK ? qga_finish(req) : written;
}

QGA_API void qga_release(qga_request* req) { delete req; }

}  // extern "C"
