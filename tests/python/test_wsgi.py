"""quillgate.wsgi against the real gateway run directly as a CGI program, every
application under wsgiref.validate (its warnings made errors): the environ a
CGI host would build, the answer as the gateway relays it, and applications
that fail.

Environment: QG (the gateway program), QUILLGATE_APP_LIBRARY, PYTHONPATH."""

import io
import json
import tempfile
import threading
import unittest
import warnings
from wsgiref.validate import WSGIWarning, validator

from quillgate import wsgi
from test_quillgate import Gateway

BIG = bytes(range(256)) * 1200  # 300 KiB: several pieces


def echo(environ, start_response):
    """The environ's CGI keys and the body as read through wsgi.input."""
    body = environ["wsgi.input"].readline(4) + environ["wsgi.input"].read(int(environ.get("CONTENT_LENGTH") or 0))
    seen = {k: v for k, v in environ.items() if "." not in k}
    seen.update({"body": body.decode("latin-1"), "scheme": environ["wsgi.url_scheme"]})
    start_response("200 OK", [("Content-Type", "application/json")])
    return [json.dumps(seen).encode()]


def streamed(environ, start_response):
    write = start_response("201 Created", [("Content-Type", "application/octet-stream")])
    write(b"head:")
    return iter([BIG[:100000], b"", BIG[100000:]])


class Closing:
    closed = threading.Event()

    def __init__(self, environ, start_response):
        start_response("302 Found", [("Location", "/next"), ("Content-Type", "text/plain")])

    def __iter__(self):
        yield b"moved"

    def close(self):
        Closing.closed.set()


def wrapped_file(environ, start_response):
    f = tempfile.TemporaryFile()
    f.write(BIG)
    f.seek(0)
    start_response("200 OK", [("Content-Type", "application/octet-stream"), ("Content-Length", str(len(BIG)))])
    return environ["wsgi.file_wrapper"](f, 4096)


def raises_at_once(environ, start_response):
    raise RuntimeError("broken at once")


def raises_in_body(environ, start_response):
    start_response("200 OK", [("Content-Type", "text/plain")])
    yield b"partial"
    raise ValueError("broken in the body")


ROUTES = {"/echo": echo, "/stream": streamed, "/closing": Closing, "/file": wrapped_file,
          "/raise": raises_at_once, "/raise-body": raises_in_body}


def dispatch(environ, start_response):
    return ROUTES[environ["PATH_INFO"]](environ, start_response)


class WsgiTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        warnings.simplefilter("error", WSGIWarning)
        cls.gateway = Gateway(timeout=30)
        cls.log = io.StringIO()
        cls.server = wsgi.Server(validator(dispatch), cls.gateway.work, threads=2, errors=cls.log)
        cls.server.start()

    @classmethod
    def tearDownClass(cls):
        cls.server.shutdown()
        cls.gateway.remove()
        warnings.resetwarnings()

    def request(self, path, env=None, body=b""):
        env = {b"PATH_INFO": path, b"SCRIPT_NAME": b"/cgi-bin/qg", b"SERVER_NAME": b"example.org",
               b"SERVER_PORT": b"8080", b"SERVER_PROTOCOL": b"HTTP/1.1", b"REMOTE_ADDR": b"127.0.0.1", **(env or {})}
        out, _ = self.gateway.start(env, body).communicate(timeout=60)
        head, _, content = out.partition(b"\r\n\r\n")
        return head.split(b"\r\n"), content

    def test_environ_is_built_as_a_cgi_host_builds_it(self):
        body = b"line one\nfield=caf\xe9"
        env = {b"HTTP_USER_AGENT": b"Tool/1.0", b"HTTP_X_NOTE": b"caf\xe9 & more", b"QUERY_STRING": b"a=1&b=%20",
               b"CONTENT_TYPE": b"text/plain", b"HTTPS": b"on", b"HTTP_ACCEPT_LANGUAGE": b"de",
               b"HTTP_COOKIE": b"c=" + b"x" * 200}  # cut by the gateway to fill its 127-character entry
        head, content = self.request(b"/echo", env, body)
        self.assertEqual(head[0], b"HTTP/1.0 200 OK")
        seen = json.loads(content)
        want = {"REQUEST_METHOD": "POST", "PATH_INFO": "/echo", "SCRIPT_NAME": "/cgi-bin/qg",
                "SERVER_NAME": "example.org", "SERVER_PORT": "8080", "SERVER_PROTOCOL": "HTTP/1.1",
                "REMOTE_ADDR": "127.0.0.1", "HTTP_USER_AGENT": "Tool/1.0", "HTTP_X_NOTE": "caf\xe9 & more",
                "HTTP_ACCEPT_LANGUAGE": "de", "QUERY_STRING": "a=1&b=%20", "CONTENT_TYPE": "text/plain",
                "CONTENT_LENGTH": str(len(body)), "body": body.decode("latin-1"), "scheme": "https"}
        self.assertEqual({k: seen.get(k) for k in want}, want)
        self.assertNotIn("HTTP_CONTENT_TYPE", seen)
        self.assertEqual(len(seen["HTTP_COOKIE"]), 127 - len("HTTP_COOKIE="))
        self.assertIn("HTTP_COOKIE is 115 bytes long and may have been cut by the gateway", self.log.getvalue())

    def test_answers_come_back_as_the_application_gave_them(self):
        cases = [  # path, status line, header that must be there, body
            (b"/stream", b"HTTP/1.0 201 Created", b"Content-Type: application/octet-stream", b"head:" + BIG),
            (b"/closing", b"HTTP/1.0 302 Found", b"Location: /next", b"moved"),
            (b"/file", b"HTTP/1.0 200 OK", b"Content-Length: %d" % len(BIG), BIG),
        ]
        for path, status, header, body in cases:
            with self.subTest(path=path):
                head, content = self.request(path)
                self.assertEqual(head[0], status)
                self.assertIn(header, head)
                self.assertEqual(content, body)
        self.assertTrue(Closing.closed.is_set())

    def test_a_failing_application_answers_500_and_the_server_goes_on(self):
        for path, message in [(b"/raise", "RuntimeError: broken at once"),
                              (b"/raise-body", "ValueError: broken in the body")]:
            with self.subTest(path=path):
                head, content = self.request(path)
                self.assertEqual(head[0], b"HTTP/1.0 500 Internal Server Error")
                self.assertNotIn(b"partial", content)
                self.assertIn(path.decode() + ": the application failed: " + message, self.log.getvalue())
        head, _ = self.request(b"/echo")
        self.assertEqual(head[0], b"HTTP/1.0 200 OK")

    def test_a_header_under_a_server_variables_name_is_refused(self):
        head, _ = self.request(b"/echo", {b"HTTP_REMOTE_ADDR": b"10.0.0.1"})
        self.assertEqual(head[0], b"HTTP/1.0 400 Bad Request")
        self.assertIn("REMOTE_ADDR comes twice with different values", self.log.getvalue())


if __name__ == "__main__":
    unittest.main()
