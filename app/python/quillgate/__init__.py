"""The application's side of the Quillgate gateway, over libquillgate-app.

A whole application:

    import sys
    import quillgate

    with quillgate.open(sys.argv[1]) as app:
        for req in app:
            who = req.get("REMOTE_ADDR", "?")
            req.answer("Content-type: text/plain\\r\\n\\r\\nHello, " + who + "\\n")

The library finds each complete request in the work directory, claims it for
exactly one process (any number of processes and hosts may serve one
directory), decodes it, and writes the answer: output file first, signal file
last. This module only calls it through ctypes.

Names and values are handed over as str, decoded from UTF-8 with
"surrogateescape": a byte that is not UTF-8 is kept, and
`value.encode("utf-8", "surrogateescape")` gives the exact bytes back
(`get_bytes` returns them directly). The body is bytes.

The calls, in short: `open(workdir, prefix="qg_")` gives an App. Iterating
over it yields each request this process claims and releases it after the
loop's body; `app.accept(timeout)` waits for one; `app.interrupt()` ends every
wait and iteration (from another thread or a signal handler). A Request has
`get(name)`, `req[name]`, `params` (pairs in file order), `get_bytes(name)`,
`body` (bytes) and `output_path`; `write(data)`, `finish()` and
`answer(data)` (bytes, or str as UTF-8) return False once the gateway has
given the request up. Failures raise Error (Refused for an output path the
library will not write). The rules the library keeps are those of qga(3).

The library is found by its SONAME, libquillgate-app.so.1 (quillgate-app.dll
on Windows), or at the path in $QUILLGATE_APP_LIBRARY.
"""

import ctypes
import os
import threading
import weakref

__all__ = ["Error", "Refused", "App", "Request", "open", "load_library"]

OK = 0
TIMEOUT = 1
GONE = 2
ERROR = -1
INVALID = -2
REFUSED = -3

# The environment variable that names the library file to load (a build
# tree's, say) in place of the installed one.
LIBRARY_ENV = "QUILLGATE_APP_LIBRARY"

# How long one wait inside the library lasts while iterating: between two
# waits Python runs its signal handlers, so Ctrl+C and SIGTERM handlers work.
_SLICE_MS = 250


class Error(Exception):
    """A failure reported by the library; `code` is its result value."""

    def __init__(self, code, message):
        super().__init__(message)
        self.code = code


class Refused(Error):
    """The request names an output file the library will not write."""


class _Options(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_size_t),
        ("claim_expiry_s", ctypes.c_uint),
        ("max_request_bytes", ctypes.c_ulonglong),
        ("scan_interval_ms", ctypes.c_uint),
    ]


_lib = None


def _default_library():
    if os.name == "nt":
        return "quillgate-app.dll"
    return "libquillgate-app.so.1"


def load_library(path=None):
    """Loads libquillgate-app once: from `path`, else from the file named by
    $QUILLGATE_APP_LIBRARY, else by its SONAME through the system's search.
    Returns the loaded library; a second call with another path fails."""
    global _lib
    path = path or os.environ.get(LIBRARY_ENV) or _default_library()
    if _lib is not None:
        if path != _lib._name:
            raise Error(ERROR, "libquillgate-app is already loaded from " + _lib._name)
        return _lib
    try:
        lib = ctypes.CDLL(path)
    except OSError as e:
        raise Error(ERROR, "cannot load libquillgate-app (%s): %s" % (path, e)) from None

    c_int, c_size_t, c_char_p, c_void_p = ctypes.c_int, ctypes.c_size_t, ctypes.c_char_p, ctypes.c_void_p
    size_p = ctypes.POINTER(c_size_t)
    signatures = {
        "qga_last_error": (c_char_p, []),
        "qga_open": (c_int, [c_char_p, c_char_p, ctypes.POINTER(_Options), ctypes.POINTER(c_void_p)]),
        "qga_close": (None, [c_void_p]),
        "qga_accept": (c_int, [c_void_p, c_int, ctypes.POINTER(c_void_p)]),
        "qga_skipped": (c_int, [c_void_p, c_char_p, c_size_t]),
        "qga_interrupt": (None, [c_void_p]),
        "qga_request_name": (c_char_p, [c_void_p]),
        "qga_output_path": (c_char_p, [c_void_p]),
        "qga_param_count": (c_size_t, [c_void_p]),
        # Values come back as raw pointers: they may hold zero bytes.
        "qga_param_at": (c_int, [c_void_p, c_size_t, ctypes.POINTER(c_char_p), ctypes.POINTER(c_void_p), size_p]),
        "qga_param": (c_void_p, [c_void_p, c_char_p, size_p]),
        "qga_body": (c_void_p, [c_void_p, size_p]),
        "qga_write": (c_int, [c_void_p, c_char_p, c_size_t]),
        "qga_finish": (c_int, [c_void_p]),
        "qga_release": (None, [c_void_p]),
    }
    for name, (restype, argtypes) in signatures.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    _lib = lib
    return lib


def _text(raw):
    return raw.decode("utf-8", "surrogateescape")


def _check(lib, code):
    """Raises for a failure; returns OK, TIMEOUT or GONE as they are."""
    if code >= 0:
        return code
    message = _text(lib.qga_last_error() or b"") or "libquillgate-app failed (%d)" % code
    raise (Refused if code == REFUSED else Error)(code, message)


class Request:
    """One claimed request: its variables, body and output file, and the
    means to answer it. Release it (or use it in a with-block) when done; a
    request released unanswered is given up, and the gateway answers it with
    its time-out page."""

    def __init__(self, lib, handle):
        self._lib = lib
        self._handle = handle
        self.name = _text(lib.qga_request_name(handle))
        self.output_path = _text(lib.qga_output_path(handle))
        # Copied out at once: the library's texts live only as long as the handle.
        name, value, length = ctypes.c_char_p(), ctypes.c_void_p(), ctypes.c_size_t()
        pairs = []
        for i in range(lib.qga_param_count(handle)):
            _check(lib, lib.qga_param_at(handle, i, ctypes.byref(name), ctypes.byref(value), ctypes.byref(length)))
            pairs.append((name.value or b"", ctypes.string_at(value.value, length.value) if length.value else b""))
        self._raw = pairs
        body = lib.qga_body(handle, ctypes.byref(length))
        self.body = ctypes.string_at(body, length.value) if length.value else b""

    @property
    def params(self):
        """The variables in file order, as (name, value) pairs; names as the
        gateway writes them ("REQUEST METHOD", "USER AGENT")."""
        return [(_text(n), _text(v)) for n, v in self._raw]

    def get_bytes(self, name, default=None):
        """The first value of `name`, as bytes. The name may be given as the
        request file has it ("USER AGENT") or as a CGI program knows it
        ("HTTP_USER_AGENT")."""
        handle = self._live()
        if isinstance(name, str):
            name = name.encode("utf-8", "surrogateescape")
        length = ctypes.c_size_t()
        value = self._lib.qga_param(handle, name, ctypes.byref(length))
        if value is None:
            return default
        return ctypes.string_at(value, length.value)

    def get(self, name, default=None):
        """The first value of `name` as str (see get_bytes for the name)."""
        value = self.get_bytes(name)
        return default if value is None else _text(value)

    def __getitem__(self, name):
        value = self.get_bytes(name)
        if value is None:
            raise KeyError(name)
        return _text(value)

    def __contains__(self, name):
        return self.get_bytes(name) is not None

    def _live(self):
        if self._handle is None:
            raise Error(INVALID, "the request has been released")
        return self._handle

    def write(self, data):
        """Appends to the answer (the whole HTTP response, or a body that gets
        the gateway's default header). str is written as UTF-8. Returns False
        once the gateway has given the request up, True otherwise."""
        if isinstance(data, str):
            data = data.encode("utf-8", "surrogateescape")
        data = bytes(data)
        return _check(self._lib, self._lib.qga_write(self._live(), data, len(data))) != GONE

    def finish(self):
        """Closes the output file, then signals the gateway. Returns False
        when the gateway had given the request up (nothing is left behind)."""
        return _check(self._lib, self._lib.qga_finish(self._live())) != GONE

    def answer(self, data):
        """write() and finish() in one; returns whether the gateway got it."""
        return self.write(data) and self.finish()

    def release(self):
        """Frees the request; one not finished is given up."""
        if self._handle is not None:
            handle, self._handle = self._handle, None
            self._lib.qga_release(handle)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.release()

    def __del__(self):
        self.release()


class App:
    """An open work directory. Iterating over it yields each request this
    process claims, releasing the previous one, until interrupt() is called."""

    def __init__(self, workdir, prefix="qg_", claim_expiry=None, max_request_bytes=None, scan_interval_ms=None,
                 library=None):
        self._lib = load_library(library)
        options = _Options(ctypes.sizeof(_Options), claim_expiry or 0, max_request_bytes or 0, scan_interval_ms or 0)
        handle = ctypes.c_void_p()
        _check(self._lib, self._lib.qga_open(os.fsencode(workdir), prefix.encode(), ctypes.byref(options),
                                             ctypes.byref(handle)))
        self._handle = handle
        self._interrupted = False
        # Calls into the library in flight on other threads (ctypes lets go
        # of the interpreter lock meanwhile): close() waits for them, since
        # the handle must outlive every call that uses it.
        self._calls = 0
        self._idle = threading.Condition()
        # Requests handed out and not yet released: closing releases them
        # first, as the library requires.
        self._requests = weakref.WeakSet()

    def accept(self, timeout=None):
        """Waits up to `timeout` seconds (None: no limit) for the next request
        and claims it; returns a Request, or None after the time-out or
        interrupt(). A wait without limit still returns to Python now and
        then, so that signal handlers run."""
        if self._handle is None:
            raise Error(INVALID, "the work directory has been closed")
        deadline = None if timeout is None else max(0, int(timeout * 1000))
        out = ctypes.c_void_p()
        while True:
            wait = _SLICE_MS if deadline is None else min(_SLICE_MS, deadline)
            handle = self._enter()
            if handle is None:
                return None  # closed by another thread while this one waited
            try:
                code = _check(self._lib, self._lib.qga_accept(handle, wait, ctypes.byref(out)))
            finally:
                self._leave()
            if code == OK:
                req = Request(self._lib, out.value)
                self._requests.add(req)
                return req
            if self._interrupted:
                return None
            if deadline is not None:
                deadline -= wait
                if deadline <= 0:
                    return None

    def skipped(self):
        """Lines about request files skipped since the last call (too large,
        or not requests), oldest first."""
        lines, buffer = [], ctypes.create_string_buffer(1024)
        handle = self._enter()
        if handle is None:
            return lines
        try:
            while self._lib.qga_skipped(handle, buffer, len(buffer)):
                lines.append(_text(buffer.value))
        finally:
            self._leave()
        return lines

    def interrupt(self):
        """Ends every wait in accept() at once, here and in other threads, and
        every iteration over the directory. For shutting down."""
        self._interrupted = True
        handle = self._enter()
        if handle is not None:
            try:
                self._lib.qga_interrupt(handle)
            finally:
                self._leave()

    def _enter(self):
        with self._idle:
            if self._handle is not None:
                self._calls += 1
            return self._handle

    def _leave(self):
        with self._idle:
            self._calls -= 1
            self._idle.notify_all()

    def close(self):
        """Closes the directory, giving up any request still held. Waits for
        accept() calls in other threads, which return None at once."""
        with self._idle:
            handle, self._handle = self._handle, None
            if handle is None:
                return
            self._interrupted = True
            self._lib.qga_interrupt(handle)
            while self._calls:
                self._idle.wait()
        for req in list(self._requests):
            req.release()
        self._lib.qga_close(handle)

    def __iter__(self):
        while True:
            req = self.accept()
            if req is None:
                return
            with req:
                yield req

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def open(workdir, prefix="qg_", **options):
    """Opens a work directory with the gateway's request prefix (its Template
    setting). Options: claim_expiry (seconds), max_request_bytes,
    scan_interval_ms, library (the file to load)."""
    return App(workdir, prefix, **options)
