"""qg as a FastCGI responder, against a small application played by the test:
the request file byte for byte as the CGI program writes it, the answer and its
status header, time-outs, aborts, a slow reader, settings read again, the
start-up conventions, and the stop with its grace period.

Usage: responder_test.py QG"""
import glob, os, shutil, signal, socket, subprocess, sys, tempfile, threading, time, unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from fcgi_client import *  # noqa: E402,F403

QG = None


def wait_for(condition, seconds=10):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.02)
    return condition()


def query_of(text):
    for piece in text.split(b"\r\n", 1)[0].split(b"&"):
        if piece.startswith(b"QUERY+STRING="):
            return piece[len(b"QUERY+STRING="):].replace(b"%3D", b"=").replace(b"%26", b"&").decode()
    return ""


class Application(threading.Thread):
    """Answers request files: with the request text itself, unless the query
    says never=1 (no answer) or big=N (N bytes)."""

    def __init__(self, work):
        super().__init__(daemon=True)
        self.work, self.stop, self.seen = work, False, {}

    def run(self):
        while not self.stop:
            for path in glob.glob(os.path.join(self.work, "qg_*.TMP")):
                if path in self.seen:
                    continue
                with open(path, "rb") as f:
                    text = f.read()
                if not text.endswith(b"\r\n") or b"#@$ FORM VARIABLES $@#" not in text:
                    continue
                self.seen[path] = text
                query = dict(p.split("=", 1) for p in query_of(text).split("&") if "=" in p)
                if "never" in query:
                    continue
                output = text.split(b"&", 2)[1].split(b"=", 1)[1]
                with open(output, "wb") as f:
                    if "big" in query:
                        f.write(b"x" * int(query["big"]))
                    else:
                        f.write(b"HTTP/1.0 201 Made\r\nContent-Type: text/plain\r\n\r\n" + text)
                open(path[:-4] + ".ret", "w").close()
            time.sleep(0.01)


class Responder(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="qg-fcgi.")
        self.work = os.path.join(self.dir, "work") + "/"
        os.mkdir(self.work)
        self.qg = os.path.join(self.dir, "qg")
        shutil.copy(QG, self.qg)
        self.settings(Timeout=20)
        self.address = "unix:" + os.path.join(self.dir, "qg.sock")
        self.app = Application(self.work)
        self.app.start()
        self.proc = None

    def tearDown(self):
        self.app.stop = True
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(30)
        if self.proc:
            # A sanitizer build reports on standard error when it ends.
            report = self.proc.stderr.read()
            self.assertNotIn(b"Sanitizer", report, report.decode(errors="replace"))
        shutil.rmtree(self.dir)

    def settings(self, **keys):
        keys.setdefault("PollTime", 50)
        with open(self.qg + ".ini", "w") as f:
            f.write("[zrcgi]\nPath=%s\n" % self.work + "".join("%s=%s\n" % kv for kv in keys.items()))

    def start(self, args=None, **popen):
        self.proc = subprocess.Popen(args or [self.qg, "--listen", self.address], stderr=subprocess.PIPE, **popen)
        def accepting():
            try:
                connect(self.address).close()
                return True
            except OSError:
                return self.proc.poll() is not None
        self.assertTrue(wait_for(accepting))
        self.assertIsNone(self.proc.poll())

    def ask(self, rid, params, body=b"", sock=None):
        sock = sock or connect(self.address)
        sock.sendall(request_bytes(rid, params, body))
        return sock, Reader(sock)

    def leftovers(self):
        return sorted(n for n in os.listdir(self.work) if n != "zrCGIErr.txt")

    def test_request_file_is_the_cgi_programs_byte_for_byte(self):
        cases = [
            ([("REQUEST_METHOD", "POST"), ("HTTP_USER_AGENT", "Tool/1.0"), ("CONTENT_LENGTH", "7")], b"a=1&b=2"),
            ([("QUERY_STRING", "q=" + "v" * 200), ("HTTP_X_A", "\xe9 \t&="), ("EMPTY", "")], b""),
            ([("CONTENT_LENGTH", "100"), ("http_x", "1")], b"line\r\nnext\r\x1aafter"),
            ([("CONTENT_LENGTH", "0")], b"ignored"),
            ([("HTTP_TRANSFER_ENCODING", "chunked")], b"all\r\nof it"),
        ]
        self.start()
        for params, body in cases:
            env = {"PATH": "/usr/bin:/bin"}
            env.update(params)
            before = set(self.app.seen)
            subprocess.run([self.qg], input=body, env=dict(params), stdout=subprocess.DEVNULL, check=True)
            cgi = [self.app.seen[p] for p in self.app.seen if p not in before]
            before = set(self.app.seen)
            _, reader = self.ask(1, params, body)
            stdout, (app, status) = reader.response(1)
            fcgi = [self.app.seen[p] for p in self.app.seen if p not in before]
            self.assertEqual((app, status), (0, 0))
            self.assertEqual(len(cgi), 1)
            self.assertEqual(len(fcgi), 1)
            # Only the output file's name differs.
            strip = lambda t: t.split(b"&", 2)[2]
            self.assertEqual(strip(cgi[0]), strip(fcgi[0]), params)
            self.assertEqual(stdout, b"Status: 201 Made\r\nContent-Type: text/plain\r\n\r\n" + fcgi[0])
        self.assertTrue(wait_for(lambda: self.leftovers() == []), self.leftovers())

    def test_time_out_answers_with_the_page_and_a_log_line_and_settings_are_read_again(self):
        self.start()
        _, reader = self.ask(1, [("QUERY_STRING", "quick=1")])
        self.assertIn(b"Status: 201 Made", reader.response(1)[0])
        self.settings(Timeout=1)
        started = time.monotonic()
        _, reader = self.ask(2, [("QUERY_STRING", "never=1")])
        stdout, _ = reader.response(2)
        self.assertLess(time.monotonic() - started, 5)
        self.assertTrue(stdout.startswith(b"Status: 200 OK\r\nContent-Type: text/html\r\n"), stdout[:80])
        self.assertIn(b"<title>Request Timed Out</title>", stdout)
        with open(self.work + "zrCGIErr.txt", "rb") as f:
            # The code is the request's last failed look-up's, as in the CGI program.
            self.assertRegex(f.read(), rb"^\d\d/\d\d/\d{4} \d\d:\d\d   Request timed out\.\.\. - 2\r\n$")
        self.assertEqual(self.leftovers(), [])

    def test_aborts_and_closed_connections_leave_nothing_and_relay_nothing(self):
        self.start()
        sock, reader = self.ask(1, [("QUERY_STRING", "never=1")])
        self.assertTrue(wait_for(lambda: len(self.leftovers()) == 2))
        sock.sendall(record(ABORT, 1))
        self.assertEqual(reader.response(1), (b"", (0, 0)))
        self.assertEqual(self.leftovers(), [])
        sock, _ = self.ask(1, [("QUERY_STRING", "never=1")])
        self.assertTrue(wait_for(lambda: len(self.leftovers()) == 2))
        sock.close()
        self.assertTrue(wait_for(lambda: self.leftovers() == []), self.leftovers())

    def test_a_slow_reader_blocks_no_other_request_and_many_wait_at_once(self):
        self.start()
        slow, _ = self.ask(1, [("QUERY_STRING", "big=20000000")])
        slow.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        self.assertTrue(wait_for(lambda: any(b"big%3D" in t for t in self.app.seen.values())))
        time.sleep(0.3)  # the big answer is queued and not read
        # 200 requests waiting at once, on multiplexed and separate connections,
        # each getting its own answer.
        many = connect(self.address)
        for i in range(1, 101):
            many.sendall(request_bytes(i, [("QUERY_STRING", "id=%d&never=1" % i)], keep=True))
        singles = [self.ask(1, [("QUERY_STRING", "id=s%d&never=1" % i)]) for i in range(100)]
        self.assertTrue(wait_for(lambda: sum(b"never" in t for t in list(self.app.seen.values())) == 200, 20))
        self.app.stop = True
        self.app.join()
        self.assertEqual(len(self.leftovers()), 400)
        for path, text in list(self.app.seen.items()):
            if b"never" in text:
                output = text.split(b"&", 2)[1].split(b"=", 1)[1]
                with open(output, "wb") as f:
                    f.write(query_of(text).encode())
                open(path[:-4] + ".ret", "w").close()
        reader = Reader(many)
        got, ended = {}, set()
        while len(ended) < 100:
            t, rid, content = reader.next()
            got.setdefault(rid, b"")
            if t == STDOUT:
                got[rid] += content
            elif t == END:
                ended.add(rid)
        for i in range(1, 101):
            self.assertIn(b"id=%d&never=1" % i, got[i])
        for i, (_, r) in enumerate(singles):
            self.assertIn(b"id=s%d&never=1" % i, r.response(1)[0])
        slow.close()
        self.assertTrue(wait_for(lambda: self.leftovers() == []), self.leftovers())

    def test_started_with_a_listening_socket_or_by_systemd_and_never_by_a_cgi_request(self):
        path = self.address[5:]
        for how in ("stdin", "systemd"):
            listener = socket.socket(socket.AF_UNIX)
            listener.bind(path)
            listener.listen(8)
            if how == "stdin":
                self.proc = subprocess.Popen([self.qg], stdin=listener.fileno(), stderr=subprocess.PIPE)
            else:
                fd = str(listener.fileno())
                self.proc = subprocess.Popen(["sh", "-c", 'LISTEN_PID=$$ LISTEN_FDS=1 exec "$0" 3<&"$1"', self.qg, fd],
                                             pass_fds=(listener.fileno(),), stdin=subprocess.DEVNULL,
                                             stderr=subprocess.PIPE)
            listener.close()
            _, reader = self.ask(1, [("QUERY_STRING", how)])
            self.assertIn(b"Status: 201 Made", reader.response(1)[0])
            self.proc.terminate()
            self.assertEqual(self.proc.wait(10), 0)
            os.unlink(path)
        # Under a CGI host the words are a query, not an order to listen.
        cgi = subprocess.run([self.qg, "--listen", self.address], env={"GATEWAY_INTERFACE": "CGI/1.1",
                             "QUERY_STRING": "--listen+" + self.address}, capture_output=True, timeout=30)
        self.assertTrue(cgi.stdout.startswith(b"HTTP/1.0 201 Made"), cgi.stdout[:60])
        self.assertFalse(os.path.exists(path))

    def test_stop_lets_waiting_requests_finish_and_leaves_nothing(self):
        self.start()
        sock, reader = self.ask(1, [("QUERY_STRING", "never=1")])
        self.assertTrue(wait_for(lambda: len(self.leftovers()) == 2))
        self.proc.terminate()
        time.sleep(0.3)
        self.assertIsNone(self.proc.poll())  # still waiting for the answer
        with self.assertRaises(OSError):
            connect(self.address)  # but no longer accepting
        (path, text), = [(p, t) for p, t in self.app.seen.items() if b"never" in t]
        with open(text.split(b"&", 2)[1].split(b"=", 1)[1], "wb") as f:
            f.write(b"late but in time")
        open(path[:-4] + ".ret", "w").close()
        self.assertIn(b"late but in time", reader.response(1)[0])
        self.assertEqual(self.proc.wait(10), 0)
        self.assertEqual(self.leftovers(), [])


if __name__ == "__main__":
    QG = os.path.abspath(sys.argv.pop(1))
    import warnings
    warnings.simplefilter("ignore", ResourceWarning)  # sockets the tests leave to the collector
    unittest.main(verbosity=2)
