"""The WSGI environ of a request that the gateway wrote: its variables named as a
CGI host names them, its body as the gateway handed it over. Used by
quillgate.wsgi, which re-exports environ_for, BadRequest and FileWrapper."""

import io
import sys

__all__ = ["environ_for", "BadRequest", "FileWrapper"]

# Names that a CGI host (RFC 3875) or the usual web servers set themselves.
# The gateway writes them like request headers (without "HTTP_"), so these
# keep their names; every other name is taken for a header.
_SERVER_NAMES = frozenset("""
    AUTH_TYPE CONTENT_LENGTH CONTENT_TYPE GATEWAY_INTERFACE PATH_INFO PATH_TRANSLATED QUERY_STRING REMOTE_ADDR
    REMOTE_HOST REMOTE_IDENT REMOTE_USER REQUEST_METHOD SCRIPT_NAME SERVER_NAME SERVER_PORT SERVER_PROTOCOL
    SERVER_SOFTWARE REQUEST_URI DOCUMENT_ROOT DOCUMENT_URI SCRIPT_FILENAME SCRIPT_URI SCRIPT_URL SERVER_ADDR REMOTE_PORT
    HTTPS REQUEST_SCHEME REDIRECT_STATUS REDIRECT_URI SERVER_ADMIN SERVER_SIGNATURE UNIQUE_ID CONTEXT_PREFIX
    CONTEXT_DOCUMENT_ROOT DllVersion
    PATH PATHEXT SYSTEMROOT SYSTEMDRIVE COMSPEC WINDIR TEMP TMP TMPDIR HOME LANG LANGUAGE TZ LD_LIBRARY_PATH LD_PRELOAD
""".split())
_SERVER_PREFIXES = ("SSL_", "REDIRECT_", "LC_", "CONTEXT_")

# An environment entry longer than this reaches the request file cut (the
# gateway's default): a value that fills the entry exactly was probably cut.
_ENTRY_LIMIT = 127


def _is_server_name(name):
    return name in _SERVER_NAMES or name.startswith(_SERVER_PREFIXES)


class BadRequest(Exception):
    """The request's variables cannot be told apart safely."""


class FileWrapper:
    """wsgi.file_wrapper: a file answered in blocks of `blksize` bytes, closed
    with the answer. The server reads a wrapped file in large blocks itself."""

    def __init__(self, filelike, blksize=256 * 1024):
        self.filelike = filelike
        self.blksize = blksize
        if hasattr(filelike, "close"):
            self.close = filelike.close

    def __iter__(self):
        while True:
            data = self.filelike.read(self.blksize)
            if not data:
                return
            yield data


def environ_for(pairs, body, multithread=False, errors=None):
    """The WSGI environ of a request with these variables (pairs of name and
    value as bytes, names as the request file has them decoded: "USER AGENT")
    and this body (bytes). Raises BadRequest when a name comes twice with two
    values: a header that the gateway wrote under the name of a server
    variable (a client's "Remote-Addr:" header reads as REMOTE_ADDR) would
    make either value a guess.
    Returns the environ and a list of lines worth logging."""
    environ, notes = {}, []
    for raw_name, raw_value in pairs:
        name = raw_name.decode("latin-1").replace(" ", "_")
        key = name if _is_server_name(name) else "HTTP_" + name
        value = raw_value.decode("latin-1")
        # Some servers hand a header over under both names (lighttpd gives
        # CONTENT_LENGTH and HTTP_CONTENT_LENGTH): the same value twice is one.
        if environ.get(key, value) != value:
            raise BadRequest("%s comes twice with different values: a request header has the name of a server "
                             "variable" % key)
        environ[key] = value
        if len(key) + 1 + len(raw_value) == _ENTRY_LIMIT:
            notes.append("%s is %d bytes long and may have been cut by the gateway" % (key, len(raw_value)))
    # The body as the gateway handed it over: in its default text mode it may
    # be shorter than the client's Content-Length (CR LF read as LF).
    if body or "CONTENT_LENGTH" in environ:
        environ["CONTENT_LENGTH"] = str(len(body))
    environ.setdefault("REQUEST_METHOD", "GET")
    environ.setdefault("SCRIPT_NAME", "")
    environ.setdefault("PATH_INFO", "")
    environ.setdefault("QUERY_STRING", "")
    environ.setdefault("SERVER_PROTOCOL", "HTTP/1.0")
    if "SERVER_NAME" not in environ:
        environ["SERVER_NAME"] = environ.get("HTTP_HOST", "localhost").rsplit(":", 1)[0] or "localhost"
    https = environ.get("HTTPS", "").lower() in ("on", "1", "yes") or environ.get("REQUEST_SCHEME") == "https"
    environ.setdefault("SERVER_PORT", "443" if https else "80")
    environ.update({
        "wsgi.version": (1, 0),
        "wsgi.url_scheme": "https" if https else "http",
        "wsgi.input": io.BytesIO(body),
        "wsgi.input_terminated": True,
        "wsgi.errors": errors or sys.stderr,
        "wsgi.multithread": multithread,
        # Other processes, on this host or others, may serve the same directory.
        "wsgi.multiprocess": True,
        "wsgi.run_once": False,
        "wsgi.file_wrapper": FileWrapper,
    })
    return environ, notes
