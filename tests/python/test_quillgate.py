"""The quillgate module against the real gateway, run directly as a CGI
program: what the module adds over the C library (exact bytes through str and
bytes, the gateway giving up, shutting an iteration down).

Environment: QG (the gateway program), QUILLGATE_APP_LIBRARY, PYTHONPATH."""

import os
import shutil
import subprocess
import tempfile
import threading
import time
import unittest

import quillgate


class Gateway:
    """One sandbox: a copy of qg with its settings file, and a work directory."""

    def __init__(self, timeout):
        self.root = tempfile.mkdtemp()
        self.work = os.path.join(self.root, "work") + os.sep
        os.mkdir(self.work)
        self.program = os.path.join(self.root, "qg")
        shutil.copy(os.environ["QG"], self.program)
        with open(self.program + ".ini", "w") as f:
            f.write("[zrcgi]\nPath=%s\nTimeout=%d\nPollTime=50\nTemplate=qg_\n" % (self.work, timeout))

    def start(self, env, body=b""):
        env = {b"REQUEST_METHOD": b"POST" if body else b"GET", b"CONTENT_LENGTH": str(len(body)).encode(), **env}
        with tempfile.TemporaryFile(dir=self.root) as stdin:
            stdin.write(body)
            stdin.seek(0)
            return subprocess.Popen([self.program], env=env, stdin=stdin, stdout=subprocess.PIPE)

    def left(self):
        """Request, output and signal files still in the work directory."""
        return [n for n in os.listdir(self.work) if os.path.isfile(self.work + n) and n != "zrCGIErr.txt"]

    def remove(self):
        shutil.rmtree(self.root)


class ModuleTest(unittest.TestCase):
    def setUp(self):
        self.gateways = []

    def tearDown(self):
        for g in self.gateways:
            g.remove()

    def sandbox(self, timeout):
        g = Gateway(timeout)
        self.gateways.append(g)
        return g

    def test_names_values_and_body_come_back_exactly(self):
        g = self.sandbox(timeout=30)
        # Bytes that are not UTF-8, the marker line, "&", "=" and "+" (the gateway reads
        # the body as text: it turns CR LF into LF and cuts it at its first zero byte).
        cases = [
            (b"HTTP_X_NOTE", b"caf\xe9 \xff&x=1"),
            (b"QUERY_STRING", b"a=%FF&b=\xc3\xb6"),
            (b"HTTP_X_SIGNS", b"+%2B = \r\n"),
        ]
        body = b"k=\xff\n#@$ FORM VARIABLES $@#\nend"
        child = g.start(dict(cases), body)
        with quillgate.open(g.work, "qg_") as app:
            req = app.accept(timeout=30)
            self.assertIsNotNone(req)
            with req:
                for name, raw in cases:
                    self.assertEqual(req.get_bytes(name), raw, name)
                    self.assertEqual(req[name.decode()].encode("utf-8", "surrogateescape"), raw, name)
                params = dict(req.params)
                self.assertEqual(params["X NOTE"].encode("utf-8", "surrogateescape"), cases[0][1])
                self.assertNotIn("HTTP_NO_SUCH", req)
                self.assertIsNone(req.get("HTTP_NO_SUCH"))
                self.assertEqual(req.body, body)
                self.assertTrue(req.output_path.startswith(g.work))
                self.assertTrue(req.answer(b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n\x00\xffdone"))
        out, _ = child.communicate(timeout=60)
        self.assertTrue(out.endswith(b"\r\n\r\n\x00\xffdone"), out)
        self.assertEqual(g.left(), [])

    def test_answer_after_the_gateway_gave_up_reports_false_and_leaves_nothing(self):
        g = self.sandbox(timeout=1)
        child = g.start({b"QUERY_STRING": b"late=1"})
        with quillgate.open(g.work) as app:
            req = app.accept(timeout=30)
            self.assertIsNotNone(req)
            with req:
                out, _ = child.communicate(timeout=60)  # the time-out page
                self.assertIn(b"Request Timed Out", out)
                self.assertFalse(req.answer("too late"))
        self.assertEqual(g.left(), [])

    def test_closing_gives_up_a_request_still_held(self):
        g = self.sandbox(timeout=1)
        child = g.start({b"QUERY_STRING": b"held=1"})
        app = quillgate.open(g.work)
        req = app.accept(timeout=30)
        self.assertIsNotNone(req)
        app.close()  # the library may not outlive its requests: this releases req first
        with self.assertRaises(quillgate.Error):
            req.answer("after close")
        out, _ = child.communicate(timeout=60)
        self.assertIn(b"Request Timed Out", out)
        self.assertEqual(g.left(), [])

    def test_interrupt_ends_iteration_in_another_thread(self):
        g = self.sandbox(timeout=30)
        with quillgate.open(g.work) as app:
            seen = []
            worker = threading.Thread(target=lambda: seen.extend(r.name for r in app))
            worker.start()
            app.interrupt()
            worker.join(60)
            self.assertFalse(worker.is_alive())
            self.assertEqual(seen, [])
            self.assertIsNone(app.accept(timeout=5))

    def test_close_waits_for_accepts_in_other_threads(self):
        # The handle is freed only once no thread is inside the library.
        g = self.sandbox(timeout=30)
        app = quillgate.open(g.work)
        results = []
        threads = [threading.Thread(target=lambda: results.append(app.accept(timeout=30))) for _ in range(4)]
        for t in threads:
            t.start()
        time.sleep(0.3)
        app.close()
        for t in threads:
            t.join(60)
        self.assertEqual(results, [None] * 4)
        with self.assertRaises(quillgate.Error):
            app.accept(timeout=0)


if __name__ == "__main__":
    unittest.main()
