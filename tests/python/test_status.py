"""quillgate-status against a work directory with real gateways and a real
library instance in it (a claimed request, a waiting one) beside files made by
hand: an answer waiting for its gateway and leftovers of every kind. Its JSON
is compared whole, ages within a second or two.

Environment: QG (the gateway program), QUILLGATE_APP_LIBRARY, PYTHONPATH."""

import json
import os
import socket
import subprocess
import sys
import time
import unittest

import quillgate
from quillgate import status
from test_quillgate import Gateway

DEAD = "0123456789abcdef"


def put(path, data, age):
    with open(path, "wb") as f:
        f.write(data)
    t = time.time() - age
    os.utime(path, (t, t))


def request_text(output, method, path):
    return ("&OUTPUT+FILE=/elsewhere/%s&REQUEST+METHOD=%s&PATH+INFO=%s&DllVersion=Quillgate+3%%2E00%%2E02&\r\n"
            "#@$ FORM VARIABLES $@#\r\n" % (output, method, path.replace("/", "%2F"))).encode()


class StatusTest(unittest.TestCase):
    maxDiff = None

    def test_a_loaded_directory(self):
        g = Gateway(timeout=30)
        self.addCleanup(g.remove)
        app = quillgate.open(g.work)
        self.addCleanup(app.close)
        held = g.start({b"PATH_INFO": b"/held"})
        req = app.accept(timeout=30)
        self.assertIsNotNone(req)
        waiting = g.start({b"PATH_INFO": b"/form"}, b"a=1")
        for child in (held, waiting):
            self.addCleanup(child.kill)
            self.addCleanup(child.stdout.close)

        w = g.work
        put(w + "qg_A1.TMP", request_text("cgiA1.TMP", "GET", "/done"), 2)
        put(w + "cgiA1.TMP", b"HTTP/1.0 200 OK\r\n\r\nanswered", 2)
        put(w + "qg_A1.ret", b"", 1)
        put(w + "qg_B2.TMP", request_text("cgiB2.TMP", "GET", "/old"), 400)
        put(w + "cgiB2.TMP", b"", 400)
        put(w + "qg_C3.TMP", b"not a request", 100)
        put(w + "qg_D4.ret", b"", 100)
        put(w + "cgiE5.TMP", b"relayed long ago", 400)
        put(w + "claims/qg_B2.TMP.00000000000000aa.clm", b"otherhost 999 %s\n" % DEAD.encode(), 300)
        put(w + "claims/%s.live" % DEAD, b"otherhost 999 %s\n" % DEAD.encode(), 300)
        put(w + "zrCGIErr.txt", b"".join(b"09/12/2026 01:0%d   line %d - 2\r\n" % (i, i) for i in range(7)), 0)

        def report():
            out = subprocess.run([sys.executable, "-m", "quillgate.status", "--json", "--timeout", "30", w],
                                 stdout=subprocess.PIPE, check=True).stdout
            return json.loads(out)

        # The second gateway's request file is written a moment after it starts.
        for _ in range(100):
            got = report()
            if len(got["pending"]) == 2 and all(p["method"] for p in got["pending"]):
                break
            time.sleep(0.1)
        me = next(n[:-5] for n in os.listdir(w + "claims") if n.endswith(".live") and n != DEAD + ".live")
        owner = {"host": socket.gethostname(), "pid": os.getpid(), "instance": me}
        ages = {"qg_A1.TMP": 2, "qg_B2.TMP": 400, "qg_C3.TMP": 100, "qg_D4.ret": 100, "cgiE5.TMP": 400,
                "claims/qg_B2.TMP.00000000000000aa.clm": 300, "claims/%s.live" % DEAD: 300}
        for item in got["answered"] + got["leftovers"]:
            key = item.get("name") or item["file"]
            self.assertLessEqual(abs(item.pop("age_s") - ages[key]), 2, key)
        for item in got["pending"]:
            self.assertLess(item.pop("age_s"), 30)
        self.assertEqual([abs(i.pop("seen_s") - age) <= 2 for i, age in zip(got["instances"], (0, 300))], [True] * 2)
        held_name = req.name
        self.assertEqual(got.pop("time") // 10, int(time.time()) // 10)
        self.assertEqual(got, {
            "directory": w, "prefix": "qg_",
            "instances": [{"instance": me, "host": owner["host"], "pid": owner["pid"], "live": True,
                           "holds": [held_name]},
                          {"instance": DEAD, "host": "otherhost", "pid": 999, "live": False, "holds": []}],
            "pending": [
                {"name": held_name, "state": "claimed", "method": "GET", "path": "/held", "owner": owner,
                 "output": os.path.basename(req.output_path), "output_bytes": 0},
                {"name": got["pending"][1]["name"], "state": "waiting", "method": "POST", "path": "/form",
                 "owner": None, "output": got["pending"][1]["output"], "output_bytes": 0}],
            "answered": [{"name": "qg_A1.TMP", "state": "answered", "method": "GET", "path": "/done", "owner": None,
                          "output": "cgiA1.TMP", "output_bytes": 27}],
            "leftovers": [
                {"file": "cgiE5.TMP", "why": "output file no request names"},
                {"file": "claims/%s.live" % DEAD, "why": "probe of a dead instance"},
                {"file": "claims/qg_B2.TMP.00000000000000aa.clm", "why": "claim of a dead instance (otherhost pid 999)"},
                {"file": "qg_B2.TMP", "why": "request whose gateway is gone (older than the time-out)"},
                {"file": "qg_C3.TMP", "why": "malformed"},
                {"file": "qg_D4.ret", "why": "signal file without its request"}],
            "error_log": ["09/12/2026 01:0%d   line %d - 2" % (i, i) for i in range(2, 7)],
        })
        text = status.render(status.survey(w, timeout=30))
        self.assertIn("Pending: 2, oldest", text)
        self.assertIn("claimed by %s pid %d (%s)" % (owner["host"], owner["pid"], me), text)

        # Answered, both gateways end at once (the files made by hand go first:
        # the library would take those requests too).
        for name in ("qg_A1.TMP", "cgiA1.TMP", "qg_A1.ret", "qg_B2.TMP", "cgiB2.TMP", "qg_C3.TMP", "qg_D4.ret",
                     "cgiE5.TMP"):
            os.remove(w + name)
        self.assertTrue(req.answer(b"done"))
        req.release()
        other = app.accept(timeout=30)
        self.assertTrue(other.answer(b"done"))
        other.release()
        for child in (held, waiting):
            self.assertTrue(child.communicate(timeout=60)[0].endswith(b"done"))


if __name__ == "__main__":
    unittest.main()
