#!/usr/bin/env python3
"""Several hosts on one work directory shared by a file server, each host a
virtual machine with its own kernel, caches and clock: kernel NFSv3, NFSv4.2
and SMB3 (the kernel's cifs client against Samba) in turn.

Five machines from one image (a read-only base, a qcow2 overlay each), on a
private bridge inside the test's own network namespace: the file server; two
web hosts, each a private lighttpd running qg, that also send the requests to
their own server; two application hosts, one qg-echo each. The application
hosts are machines of their own because the checks stop one hard and set
one's clock ahead, which must not touch a web host.

Per file system: requests from both web hosts answered once and right with
nothing left (.nfs* and claim files count); time-outs at once from both web
hosts, each a whole line of the one error log; an application host's clock
90 s ahead; an application host stopped hard in the middle of its answers,
later requests of the same numbers answered, and none twice after it is back;
the latency median and 99th percentile at PollTime 50 and 250.

Usage: vm-test.py QG QG_ECHO [--fs nfs3,nfs42,smb3] [--requests N]
Exit status 77 (skipped) without /dev/kvm, root or the tools.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, here)
import vms  # noqa: E402

LOG_LINE = re.compile(r"^\d{2}/\d{2}/\d{4} \d{2}:\d{2}   Request timed out\.\.\. - -?\d+\r$")


def skip(message):
    print("SKIPPED: " + message)
    sys.exit(77)


class Failures:
    def __init__(self):
        self.items = []

    def check(self, ok, message):
        if not ok:
            print("FAIL: " + message, flush=True)
            self.items.append(message)
        return ok


def parallel(calls):
    """Runs the callables at once; raises the first error."""
    errors, threads = [], []
    for call in calls:
        def body(call=call):
            try:
                call()
            except Exception as e:  # noqa: BLE001 - handed to the caller
                errors.append(e)
        threads.append(threading.Thread(target=body))
        threads[-1].start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


def percentile(values, share):
    values = sorted(values)
    if not values:
        return 0
    return values[max(0, -(-len(values) * share // 100) - 1)]


class Run:
    def __init__(self, args, image, scratch):
        self.args, self.failures = args, Failures()
        share = os.path.join(scratch, "share")
        os.makedirs(os.path.join(share, "bin"))
        for f in ("guest.sh", "roles.sh"):
            shutil.copy(os.path.join(here, f), share)
        shutil.copy(args.qg, os.path.join(share, "bin", "qg"))
        shutil.copy(args.app, os.path.join(share, "bin", "qg-echo"))
        network = vms.Network()
        self.accel = vms.accelerator()
        print("vm: accelerator %s" % self.accel, flush=True)
        self.server = vms.Machine(image, scratch, share, network, "server", 1, memory=512, accel=self.accel)
        self.webs = [vms.Machine(image, scratch, share, network, "web%d" % i, 10 + i, accel=self.accel) for i in (1, 2)]
        self.apps = [vms.Machine(image, scratch, share, network, "app%d" % i, 20 + i, accel=self.accel) for i in (1, 2)]
        self.machines = [self.server] + self.webs + self.apps
        self.table = []

    def start(self):
        started = time.monotonic()
        parallel([m.start for m in self.machines])
        self.server.role("serve")
        print("vm: 5 machines up in %.0f s" % (time.monotonic() - started), flush=True)

    def stop(self):
        for m in self.machines:
            m.stop()

    # ------------------------------------------------------------ helpers
    def answered(self):
        """Answers logged by every application instance so far."""
        total = 0
        for app in self.apps:
            for name in os.listdir(app.out):
                if name.startswith("app-"):
                    total += app.read_out(name).count("answered ")
        return total

    def load(self, phase, letter, per_web, parallel_each, query=""):
        """Requests from both web hosts at once; returns their result lines."""
        started = time.monotonic()
        ids = [w.begin("bash /qg/roles.sh load %s-%s %s %d %d %d '%s'"
                       % (self.fs, phase, letter + w.name[-1], 1, per_web, parallel_each, query))
               for w in self.webs]
        for w, ident in zip(self.webs, ids):
            status, output = w.wait(ident, timeout=900)
            if status != 0:
                raise RuntimeError("%s: load failed: %s" % (w.name, output[-2000:]))
        lines = []
        for w in self.webs:
            lines += [line.split() for line in w.read_out("%s-%s" % (self.fs, phase)).splitlines()]
        self.elapsed = time.monotonic() - started
        return lines

    def leftovers(self):
        return self.server.role("leftovers", self.fs).split()

    def clean(self, seconds, what):
        left = vms.wait_until(seconds, lambda: not self.leftovers(), step=1)
        left = self.leftovers()
        self.failures.check(not left, "%s %s: left in the work directory: %s" % (self.fs, what, " ".join(left[:20])))
        return len(left)

    def web_set(self, key, value):
        parallel([lambda w=w: w.role("web_set", key, str(value)) for w in self.webs])

    def counted(self, phase, lines, before, expect_all_right=True):
        right = [l for l in lines if l[3] == "right"]
        # An instance logs its answer just after making the signal file.
        vms.wait_until(5, lambda: self.answered() - before >= len(right))
        answered = self.answered() - before
        row = {"phase": phase, "requests": len(lines), "right": len(right), "answers": answered,
               # A request that timed out may still have been answered, too late.
               "duplicates": max(0, answered - len(lines)),
               "timeouts": sum(1 for l in lines if l[3] == "timeout"),
               "median": percentile([int(l[2]) for l in right], 50),
               "p99": percentile([int(l[2]) for l in right], 99)}
        if expect_all_right:
            self.failures.check(len(right) == len(lines), "%s %s: %d of %d answered right (wrong: %s)" % (
                self.fs, phase, len(right), len(lines), " ".join(l[0] + ":" + l[1] for l in lines if l[3] != "right")[:400]))
        self.failures.check(answered <= len(lines), "%s %s: %d answers for %d requests" % (
            self.fs, phase, answered, len(lines)))
        print("vm: %s %s: %d requests in %.0f s, %d right, %d answers, %d timed out, median %d ms, p99 %d ms" % (
            self.fs, phase, row["requests"], self.elapsed, row["right"], answered, row["timeouts"],
            row["median"], row["p99"]), flush=True)
        return row

    # ------------------------------------------------------------ one file system
    def file_system(self, fs):
        self.fs = fs
        n = self.args.requests
        result = {"fs": fs}
        clients = self.webs + self.apps
        parallel([lambda m=m: m.role("fs_mount", fs) for m in clients])
        print("vm: %s mounted: %s" % (fs, self.webs[0].role("fs_mount_options").strip()), flush=True)
        parallel([lambda a=a: a.role("app_start", "app-%s-1.log" % fs) for a in self.apps])
        self.timeout = 30 if self.accel == "kvm" else 120  # emulation: tens of seconds at worst
        parallel([lambda w=w: w.role("web_start", "8080", "50", str(self.timeout)) for w in self.webs])

        result.update(requests=0, right=0, answers=0, duplicates=0, median50=0, p99_50=0, left=0, left_end=0,
                      median250=0, p99_250=0, clock="-", kill="-", back="-")
        if not self.args.time_outs_only:
            # Requests from both web hosts, 8 at a time each.
            before = self.answered()
            lines = self.load("load", "r", n // 2, 8)
            row = self.counted("load", lines, before)
            result.update(requests=row["requests"], right=row["right"], answers=row["answers"],
                          duplicates=row["duplicates"], median50=row["median"], p99_50=row["p99"])
            result["left"] = self.clean(20, "after the load")
            log = self.server.role("errorlog", fs)
            self.failures.check(not log, "%s: failures logged: %s" % (fs, log[:2000]))
            self.server.role("clear_errorlog", fs)

        # Time-outs at once from both web hosts: one whole line each in the one log.
        self.web_set("Timeout", 1)
        lines = self.load("slow", "s", 20, 20, "&qg_sleep=3000")
        timed = sum(1 for l in lines if l[3] == "timeout")
        # Under emulation a gateway may start so late that the slow answer is
        # there at its first look: then that request is answered, not timed out.
        self.failures.check(timed == 40 or (self.accel != "kvm" and timed > 30),
                            "%s: %d of 40 slow requests got the time-out page" % (fs, timed))
        log = self.server.role("errorlog", fs).split("\n")
        log = [l for l in log if l]
        whole = sum(1 for l in log if LOG_LINE.match(l))
        result.update(log_lines=len(log), log_whole=whole, timed=timed)
        self.failures.check(len(log) == timed and whole == timed, "%s: error log after %d time-outs: %d lines, %d whole: %r"
                            % (fs, timed, len(log), whole, log[:10]))
        print("vm: %s time-outs: %d timed out, error log %d lines, %d whole" % (fs, timed, len(log), whole), flush=True)
        self.clean(20, "after the time-outs")
        self.server.role("clear_errorlog", fs)
        self.web_set("Timeout", self.timeout)

        if self.args.time_outs_only:
            self.finish(fs, result)
            return
        # PollTime 250.
        self.web_set("PollTime", 250)
        before = self.answered()
        row = self.counted("poll250", self.load("poll250", "p", n // 5, 8), before)
        result.update(median250=row["median"], p99_250=row["p99"])
        self.web_set("PollTime", 50)

        # One application host's clock 90 s ahead of the others.
        print("vm: %s app2 clock now %s" % (fs, self.apps[1].role("clock_shift", "90").strip()), flush=True)
        before = self.answered()
        row = self.counted("clock", self.load("clock", "c", n // 5, 8), before)
        result["clock"] = "%d/%d right, %d answers" % (row["right"], row["requests"], row["answers"])
        result["clock_dup"] = row["duplicates"]
        self.clean(20, "with a clock ahead")
        self.apps[1].role("clock_shift", "-90")

        # An application host stopped hard in the middle of its answers.
        self.web_set("Timeout", 8 if self.accel == "kvm" else 60)
        before = self.answered()
        app2_log = "app-%s-1.log" % fs
        app2_before = self.apps[1].read_out(app2_log).count("answered ")
        ids = [w.begin("bash /qg/roles.sh load %s-kill k%s 1 %d 8 '&qg_sleep=300'" % (fs, w.name[-1], n // 5))
               for w in self.webs]
        # Stopped once it has given a few answers of the phase, while it holds others.
        enough = min(20, max(2, n // 25))
        vms.wait_until(120, lambda: self.apps[1].read_out(app2_log).count("answered ") - app2_before >= enough, step=0.1)
        during = not all(w.finished(ident) for w, ident in zip(self.webs, ids))
        self.apps[1].kill()
        self.failures.check(during, "%s: the application host was stopped only after the load had ended" % fs)
        for w, ident in zip(self.webs, ids):
            w.wait(ident, timeout=900)
        lines = []
        for w in self.webs:
            lines += [l.split() for l in w.read_out("%s-kill" % fs).splitlines()]
        self.elapsed = 0
        row = self.counted("kill", lines, before, expect_all_right=False)
        self.failures.check(row["right"] + row["timeouts"] == row["requests"],
                            "%s kill: %d right and %d timed out of %d" % (fs, row["right"], row["timeouts"], row["requests"]))
        stale = [name for name in self.leftovers() if name.startswith("claims/") and name.endswith(".clm")]
        stale_numbers = {name[len("claims/"):].split(".")[0].lower() for name in stale}
        self.web_set("Timeout", self.timeout)
        before = self.answered()
        app1_log = "app-%s-1.log" % fs
        app1_before = self.apps[0].read_out(app1_log).count("answered ")
        row = self.counted("after-kill", self.load("after", "a", n // 10, 8), before)
        answered_names = re.findall(r"answered (\S+)", self.apps[0].read_out(app1_log))[app1_before:]
        reused = len(stale_numbers & {name.lower() for name in answered_names})
        # The gateway chooses each number itself: a later request takes one
        # the stopped host held only by chance, so this is counted, not required.
        result["kill"] = "%d timed out, %d claims held, %d numbers reused: %d/%d right" % (
            sum(1 for l in lines if l[3] == "timeout"), len(stale_numbers), reused, row["right"], row["requests"])
        # Back again: a new boot of the same disk.
        self.apps[1].start()
        self.apps[1].role("fs_mount", fs)
        self.apps[1].role("app_start", "app-%s-2.log" % fs)
        before = self.answered()
        row = self.counted("back", self.load("back", "b", n // 5, 8), before)
        result["back"] = "%d/%d right, %d answers" % (row["right"], row["requests"], row["answers"])
        result["back_dup"] = row["duplicates"]
        # The stopped host's claims and liveness file go when they expire.
        result["left_end"] = self.clean(100, "at the end")

        self.finish(fs, result)

    def finish(self, fs, result):
        parallel([lambda w=w: w.role("web_stop") for w in self.webs] +
                 [lambda a=a: a.role("app_stop") for a in self.apps])
        parallel([lambda m=m: m.role("unmount") for m in self.webs + self.apps])
        self.table.append(result)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("qg")
    parser.add_argument("app")
    parser.add_argument("--fs", default="nfs3,nfs42,smb3")
    parser.add_argument("--requests", type=int, default=0,
                        help="default 1000, or QG_VM_REQUESTS (default 40) under qemu's emulation")
    parser.add_argument("--time-outs-only", action="store_true",
                        help="only the time-outs at once (appending to the one error log)")
    parser.add_argument("--cache", default=os.path.join(os.path.dirname(os.path.dirname(here)), "build", "vm"))
    args = parser.parse_args()
    args.qg, args.app = os.path.abspath(args.qg), os.path.abspath(args.app)

    if os.geteuid() != 0:
        skip("the virtual machines' network and the image need root")
    if not os.access("/dev/kvm", os.R_OK | os.W_OK):
        skip("no /dev/kvm: virtual machines cannot run here")
    for tool in ("qemu-system-x86_64", "qemu-img", "mmdebstrap", "mkfs.ext4", "unshare", "ip"):
        if not shutil.which(tool):
            skip("%s is not installed (run tools/install-deps)" % tool)
    if not os.path.exists("/dev/net/tun"):
        skip("no /dev/net/tun for the machines' network")
    if vms.accelerator() != "kvm":
        # A /dev/kvm of the page-table kind (kvm_pvm) runs only kernels built
        # as its guests; qemu's emulation takes seconds per request, which no
        # test budget holds for three file systems.
        skip("/dev/kvm here is not backed by the processor (no kvm_intel or kvm_amd): "
             "set QG_VM_ACCEL=tcg to run the machines emulated, slowly")

    if os.environ.get("QG_VM_NETNS") != "1":
        # The image first, on the machine's own network (the package mirror).
        started = time.monotonic()
        image = subprocess.run(["bash", os.path.join(here, "image.sh"), args.cache], check=True,
                               stdout=subprocess.PIPE, text=True).stdout.strip()
        print("vm: image %s (%.0f s)" % (image, time.monotonic() - started), flush=True)
        env = dict(os.environ, QG_VM_NETNS="1", QG_VM_IMAGE=image)
        os.execvpe("unshare", ["unshare", "-n", "--", sys.executable] + sys.argv, env)

    image = os.environ["QG_VM_IMAGE"]
    if not args.requests:
        # Emulated machines answer one request in seconds, not milliseconds.
        args.requests = 1000 if vms.accelerator() == "kvm" else int(os.environ.get("QG_VM_REQUESTS", "40"))
    scratch = tempfile.mkdtemp(prefix="qg-vm-")
    run = None
    started = time.monotonic()
    try:
        run = Run(args, image, scratch)
        run.start()
        for fs in args.fs.split(","):
            fs_started = time.monotonic()
            run.file_system(fs)
            print("vm: %s done in %.0f s" % (fs, time.monotonic() - fs_started), flush=True)
    except Exception as e:  # noqa: BLE001 - reported as a failure with the consoles
        print("FAIL: %s" % e, flush=True)
        if run:
            run.failures.items.append(str(e))
            for m in run.machines:
                print("--- %s console (tail):\n%s" % (m.name, m.console()[-1500:]))
    finally:
        if run:
            run.stop()
        if os.environ.get("QG_VM_KEEP") != "1":
            shutil.rmtree(scratch, ignore_errors=True)
        else:
            print("vm: kept " + scratch)
    if run and run.table:
        print("\n| file system | requests | right | answers | duplicates | left | time-outs: log lines (whole) | "
              "median / p99 at 50 ms | median / p99 at 250 ms | clock +90 s | stopped hard | back |")
        print("|---|---|---|---|---|---|---|---|---|---|---|---|")
        for r in run.table:
            print("| %s | %d | %d | %d | %d | %d (end: %d) | %d: %d (%d) | %d / %d ms | %d / %d ms | %s | %s | %s |" % (
                r["fs"], r["requests"], r["right"], r["answers"], r["duplicates"], r["left"], r["left_end"],
                r["timed"], r["log_lines"], r["log_whole"], r["median50"], r["p99_50"], r["median250"], r["p99_250"],
                r["clock"], r["kill"], r["back"]))
    print("vm: %.0f s in all" % (time.monotonic() - started))
    if not run or run.failures.items:
        print("%d check(s) failed" % (len(run.failures.items) if run else 1))
        sys.exit(1)
    print("vm passed")


if __name__ == "__main__":
    main()
