"""A WSGI server (PEP 3333) on the quillgate module: any WSGI application
(Flask, Django, Bottle, ...) answers the gateway's requests.

    python3 -m quillgate.wsgi MODULE[:NAME] --workdir DIR [--prefix qg_] [--threads N]

or, from a program that starts it itself:

    from quillgate.wsgi import serve
    serve(application, "/srv/qgwork/", threads=4)   # until SIGTERM or Ctrl+C

The environ is built as a CGI host builds it, from the request's variables:
the request file has lost the "HTTP_" in front of header names, so a name the
CGI standard (or a web server) gives its own meaning keeps its name and every
other name is a request header, HTTP_<NAME>. Values are str holding the
request's bytes as Latin-1, as PEP 3333 wants (REQUEST_METHOD, SCRIPT_NAME,
PATH_INFO, QUERY_STRING, CONTENT_TYPE, CONTENT_LENGTH, SERVER_NAME,
SERVER_PORT, HTTP_*, wsgi.*). wsgi.input reads the body, and CONTENT_LENGTH is
its length as the application gets it;
wsgi.errors is the process's standard error, where this server writes its own
lines too.

The answer is the whole HTTP response: a status line "HTTP/1.0 <status>", the
application's headers, the body. It is written into the output file in pieces
of PIECE_BYTES as the body comes, so a large answer never sits in memory; the
gateway relays it once it is complete. An application that raises before the
first piece is written answers "500 Internal Server Error"; the server logs the
failure and goes on with the next request. One that raises later ends the
answer where it stopped (logged "the answer is cut short"), which the gateway
relays at once rather than after its time-out. close() of the body iterable is
always called; wsgi.file_wrapper is read in blocks of at least PIECE_BYTES.

MODULE is looked for in the current directory first; NAME defaults to
"application". --threads answers that many requests at once (more processes,
here or on other hosts, may serve the same directory); --validate runs the
application under wsgiref.validate, so that anything against PEP 3333, on
either side, answers 500 with a log line; --help lists the rest. SIGTERM or
Ctrl+C stops taking requests and lets those in hand finish. A program may also
make a Server and call start() and later shutdown().

A request in which a name comes twice with two values (a client's
"Remote-Addr:" header beside the server's REMOTE_ADDR) is refused with 400,
since either value would be a guess. For the same reason a header that the
server does not also set cannot be told from a server variable: a site whose
application trusts REMOTE_USER or AUTH_TYPE must drop such headers at the web
server (lighttpd: setenv.set-request-header = ("Remote-User" => "",
"Auth-Type" => ""); Apache: RequestHeader unset Remote-User).
"""

import argparse
import importlib
import os
import signal
import sys
import threading
import traceback
import warnings
from wsgiref.validate import WSGIWarning, validator

import quillgate
from quillgate.environ import BadRequest, FileWrapper, environ_for

__all__ = ["Server", "serve", "environ_for", "FileWrapper", "load_application", "main"]

# Bytes of answer gathered before they go to the output file. An application
# that fails before the first piece is written still gets a clean 500 answer.
PIECE_BYTES = 64 * 1024

class _GatewayGone(Exception):
    """The gateway gave the request up while it was being answered."""


class _Answer:
    """start_response, write() and the buffered hand-over to the library."""

    def __init__(self, req):
        self._req = req
        self._status = None
        self._headers = None
        self._buffer = []
        self._buffered = 0
        self.sent = False  # bytes have gone to the output file

    def start_response(self, status, headers, exc_info=None):
        if exc_info is not None:
            try:
                if self.sent:
                    raise exc_info[1].with_traceback(exc_info[2])
            finally:
                exc_info = None
        elif self._status is not None:
            raise AssertionError("start_response called a second time without exc_info")
        if not isinstance(status, str) or not isinstance(headers, list):
            raise TypeError("start_response takes a str status and a list of headers")
        for item in [("", status)] + headers:
            if any(c in "\r\n" for c in item[0] + item[1]):
                raise ValueError("a line end in the status or a header: %r" % (item,))
        head = "HTTP/1.0 " + status + "\r\n" + "".join("%s: %s\r\n" % (n, v) for n, v in headers) + "\r\n"
        # Checked now, in the application's call, not when the head is written.
        self._head = head.encode("latin-1")
        self._status, self._headers = status, headers
        self._buffer, self._buffered = [], 0
        return self.write

    def write(self, data):
        if self._status is None:
            raise AssertionError("the application wrote before calling start_response")
        if not isinstance(data, (bytes, bytearray)):
            raise TypeError("answer bytes must be bytes, not %s" % type(data).__name__)
        if not data:
            return
        self._buffer.append(bytes(data))
        self._buffered += len(data)
        if self._buffered >= PIECE_BYTES:
            self._flush()

    def _flush(self):
        pieces = self._buffer
        if not self.sent:
            pieces = [self._head] + pieces
        self._buffer, self._buffered = [], 0
        self.sent = True
        if not self._req.write(b"".join(pieces)):
            raise _GatewayGone()

    def finish(self):
        if self._status is None:
            raise AssertionError("the application returned without calling start_response")
        self._flush()
        return self._req.finish()

    def finish_sent(self):
        """Ends the answer with what is in the output file already."""
        return self._req.finish()

    def fail(self, status, text):
        """A plain answer of the server's own, in place of anything buffered."""
        self._status, self._buffer, self._buffered = None, [], 0
        self.start_response(status, [("Content-Type", "text/plain; charset=utf-8")])
        self.write(text.encode())
        return self.finish()


def _log(stream, line):
    try:
        stream.write("quillgate.wsgi: " + line + "\n")
        stream.flush()
    except (OSError, ValueError):
        pass


class Server:
    """Serves one WSGI application from a work directory with `threads`
    threads, each taking the next request as it is free."""

    def __init__(self, application, workdir, prefix="qg_", threads=1, errors=None, **options):
        if threads < 1:
            raise ValueError("threads must be at least 1")
        self.application = application
        self.threads = threads
        self.errors = errors or sys.stderr
        self._app = quillgate.open(workdir, prefix, **options)
        self._workers = []

    def handle(self, req):
        """Answers one claimed request; never raises for the application's faults."""
        answer = _Answer(req)
        where = "%s %s %s" % (req.name, req.get("REQUEST_METHOD", "?"), req.get("REQUEST_URI") or req.get("PATH_INFO", "/"))
        pairs = [(n.encode("utf-8", "surrogateescape"), v.encode("utf-8", "surrogateescape")) for n, v in req.params]
        try:
            environ, notes = environ_for(pairs, req.body, self.threads > 1, self.errors)
        except BadRequest as e:
            _log(self.errors, "%s: refused: %s" % (where, e))
            try:
                answer.fail("400 Bad Request", "Bad Request\n")
            except (quillgate.Error, _GatewayGone):
                pass
            return
        for note in notes:
            _log(self.errors, "%s: %s" % (where, note))
        result = None
        try:
            result = self.application(environ, answer.start_response)
            if isinstance(result, FileWrapper) and hasattr(result.filelike, "read"):
                chunks = iter(lambda: result.filelike.read(max(result.blksize, PIECE_BYTES)), b"")
            else:
                chunks = result
            for chunk in chunks:
                answer.write(chunk)
            close, result = getattr(result, "close", None), None
            if close is not None:
                close()
            if not answer.finish():
                _log(self.errors, "%s: the gateway gave the request up before the answer was complete" % where)
        except _GatewayGone:
            _log(self.errors, "%s: the gateway gave the request up before the answer was complete" % where)
        except quillgate.Error as e:
            _log(self.errors, "%s: cannot answer: %s" % (where, e))
        except Exception as e:  # the application's fault: logged, and the next request is served
            _log(self.errors, "%s: the application failed: %s: %s" % (where, type(e).__name__, e))
            for line in traceback.format_exc().rstrip("\n").split("\n"):
                _log(self.errors, "  " + line)
            self._answer_failure(answer, where)
        finally:
            close = getattr(result, "close", None)
            if close is not None:
                try:
                    close()
                except Exception as e:
                    _log(self.errors, "%s: closing the answer failed: %s: %s" % (where, type(e).__name__, e))

    def _answer_failure(self, answer, where):
        try:
            if not answer.sent:
                answer.fail("500 Internal Server Error", "Internal Server Error\n")
            else:
                # Part of the answer is in the output file already: the
                # gateway relays what there is rather than waiting for its
                # time-out.
                _log(self.errors, "%s: the answer is cut short" % where)
                answer.finish_sent()
        except (quillgate.Error, _GatewayGone):
            pass

    def _work(self):
        try:
            for req in self._app:
                self.handle(req)
        except quillgate.Error as e:
            _log(self.errors, "stopped: %s" % e)
            self._app.interrupt()

    def start(self):
        """Starts the worker threads and returns."""
        for i in range(self.threads):
            worker = threading.Thread(target=self._work, name="quillgate.wsgi-%d" % i, daemon=True)
            worker.start()
            self._workers.append(worker)

    def shutdown(self):
        """Stops taking requests, lets the ones in hand finish, and closes."""
        self._app.interrupt()
        for worker in self._workers:
            worker.join()
        self._workers = []
        self._app.close()

    def serve_forever(self):
        """Serves until interrupt() is called from a signal handler or another
        thread; in the main thread, SIGTERM and SIGINT stop it."""
        self.start()
        if threading.current_thread() is threading.main_thread():
            for sig in (signal.SIGTERM, signal.SIGINT):
                signal.signal(sig, lambda *_: self._app.interrupt())
        try:
            while any(w.is_alive() for w in self._workers):
                for worker in self._workers:
                    worker.join(0.25)
        finally:
            self.shutdown()

    def interrupt(self):
        self._app.interrupt()


def serve(application, workdir, prefix="qg_", threads=1, **options):
    """Serves `application` from `workdir` until SIGTERM, SIGINT or another
    thread's Server.interrupt(); see Server for the options."""
    Server(application, workdir, prefix, threads, **options).serve_forever()


def load_application(target):
    """The object that "MODULE[:NAME]" names; NAME (dotted for attributes of
    attributes) defaults to "application". The current directory is searched
    first, as python3 -m does for the module itself."""
    module_name, _, attribute = target.partition(":")
    if "" not in sys.path and os.getcwd() not in sys.path:
        sys.path.insert(0, os.getcwd())
    obj = importlib.import_module(module_name)
    for part in (attribute or "application").split("."):
        obj = getattr(obj, part)
    if not callable(obj):
        raise TypeError("%s is not callable" % target)
    return obj


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python3 -m quillgate.wsgi",
        description="Serve a WSGI application through the Quillgate gateway's work directory.",
        epilog="SIGTERM or Ctrl+C stops taking requests; those in hand are answered first.")
    parser.add_argument("application", metavar="MODULE[:NAME]",
                        help="the application: NAME in MODULE (default NAME: application)")
    parser.add_argument("--workdir", required=True, help="the gateway's work directory (its Path setting)")
    parser.add_argument("--prefix", default="qg_", help="the gateway's Template setting (default qg_)")
    parser.add_argument("--threads", type=int, default=1, help="requests answered at once (default 1)")
    parser.add_argument("--validate", action="store_true",
                        help="check the application and this server against PEP 3333 (wsgiref.validate); "
                             "a violation answers 500 and is logged")
    parser.add_argument("--claim-expiry", type=int, default=None, metavar="SECONDS",
                        help="age after which a dead instance's claims are cleared (default 60)")
    args = parser.parse_args(argv)
    if args.threads < 1:
        parser.error("--threads must be at least 1")
    try:
        application = load_application(args.application)
        if args.validate:
            warnings.simplefilter("error", WSGIWarning)
            application = validator(application)
        server = Server(application, args.workdir, args.prefix, args.threads, claim_expiry=args.claim_expiry)
    except (ImportError, AttributeError, TypeError, quillgate.Error) as e:
        print("quillgate.wsgi: %s" % e, file=sys.stderr)
        return 1
    _log(sys.stderr, "serving %s from %s with %d thread%s" % (
        args.application, args.workdir, args.threads, "" if args.threads == 1 else "s"))
    server.serve_forever()
    return 0


if __name__ == "__main__":
    sys.exit(main())
