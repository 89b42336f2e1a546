"""quillgate-status: what a gateway work directory holds, for an operator.

    quillgate-status [--prefix qg_] [--timeout 50] [--json | --watch [SECONDS]] DIR

Everything comes from the directory's files, read and never changed, so it
works on any host that mounts the directory:

- request files <prefix>XXXX.TMP: pending (age, method, path), claimed by an
  instance of the application library or still waiting, or answered (their
  signal file <prefix>XXXX.ret is there) and waiting for their gateway;
- the claims folder: claims/<request>.<stamp>.clm, each holding its owner's
  label ("host pid instance"), and claims/<instance>.live, the probe file a
  live instance touches every quarter of the claim expiry;
- leftovers: request files older than the gateway's time-out (their gateway
  is gone: it deletes its files when it gives up), signal and output files no
  request names, claims and probes of dead instances, malformed files;
- the last lines of the error log zrCGIErr.txt.

Ages are taken against this host's clock: keep the hosts' clocks in step.
"""

import argparse
import json
import os
import re
import sys
import time

__all__ = ["survey", "render", "main"]

CLAIMS = "claims"
ERROR_LOG = "zrCGIErr.txt"
MARKER = b"#@$ FORM VARIABLES $@#"
# A request file larger than this is read only as far as its variables go:
# its claim is then matched by name and time, not by the library's stamp.
WHOLE_READ_BYTES = 4 << 20
HEAD_READ_BYTES = 1 << 20
LOG_TAIL_BYTES = 64 << 10
# Within this many seconds a file may be the middle of a step that is about to
# complete (a gateway's write, a relay, a give-up): it is not a leftover yet.
SETTLE_S = 5

_HEX_TMP = r"[0-9A-Fa-f]{1,4}\.[Tt][Mm][Pp]"
_OUTPUT = re.compile(r"[Cc][Gg][Ii]" + _HEX_TMP + "$")
_CLAIM = re.compile(r"(.+)\.([0-9a-f]{16})\.clm$")
_PROBE = re.compile(r"([0-9a-f]{16})\.live$")


def _fnv1a(data):
    h = 14695981039346656037
    for b in data:
        h = ((h ^ b) * 1099511628211) & 0xFFFFFFFFFFFFFFFF
    return h


def claim_stamp(text, modified_s):
    """The stamp in the claim name that the library derives for a request
    file of this text and modification second."""
    return "%016x" % (_fnv1a(text) ^ ((modified_s * 0x9E3779B97F4A7C15) & 0xFFFFFFFFFFFFFFFF))


def _decode(field):
    out, i = bytearray(), 0
    while i < len(field):
        c = field[i]
        if c == 0x2B:  # "+"
            out.append(0x20)
        elif c == 0x25 and re.fullmatch(rb"[0-9A-Fa-f]{2}", field[i + 1:i + 3] or b""):
            out.append(int(field[i + 1:i + 3], 16))
            i += 2
        else:
            out.append(c)
        i += 1
    return bytes(out)


def parse_request(text, whole=True):
    """(output file name, {name: value}) of a request text, names as the
    gateway writes them decoded ("REQUEST METHOD"); None when it is not one.
    With whole=False the text is the file's beginning only and its end is not
    checked."""
    line, sep, rest = text.partition(b"\r\n")
    if not sep or not line.startswith(b"&OUTPUT+FILE=") or not line.endswith(b"&"):
        return None
    if whole and not (rest == MARKER + b"\r\n" or (rest.startswith(MARKER + b"\r\n") and rest.endswith(b"\r\n"))):
        return None
    if not whole and not (rest.startswith(MARKER) or MARKER.startswith(rest)):
        return None
    head = line[len(b"&OUTPUT+FILE="):]
    # The path is not encoded: it ends at the first "&" after a name of the gateway's kind.
    end = -1
    for m in re.finditer(b"&", head):
        if _OUTPUT.match(re.split(rb"[/\\]", head[:m.start()])[-1].decode("latin-1")):
            end = m.start()
            break
    if end < 0:
        return None
    output = re.split(rb"[/\\]", head[:end])[-1].decode("latin-1")
    variables = {}
    for piece in head[end + 1:-1].split(b"&"):
        name, eq, value = piece.partition(b"=")
        if eq:
            variables.setdefault(_decode(name).decode("latin-1"), _decode(value).decode("utf-8", "replace"))
    return output, variables


def _stat(path):
    try:
        return os.stat(path)
    except OSError:
        return None


def _read(path, limit=None):
    try:
        with open(path, "rb") as f:
            return f.read() if limit is None else f.read(limit)
    except OSError:
        return None


def _instance(label_text):
    """host, pid and instance from a claim's or probe's label."""
    parts = (label_text or b"").decode("utf-8", "replace").split()
    if len(parts) == 3 and parts[1].isdigit() and re.fullmatch("[0-9a-f]{16}", parts[2]):
        return {"host": parts[0], "pid": int(parts[1]), "instance": parts[2]}
    return None


def _log_tail(path, lines):
    """The last `lines` lines of the error log, read from its end."""
    try:
        with open(path, "rb") as f:
            size = f.seek(0, os.SEEK_END)
            f.seek(max(0, size - LOG_TAIL_BYTES))
            data = f.read()
    except OSError:
        return []
    if size > LOG_TAIL_BYTES:
        data = data.partition(b"\n")[2]  # the first line read is a part of one
    text = data.decode("utf-8", "replace").replace("\r\n", "\n").rstrip("\n")
    return text.split("\n")[-lines:] if text and lines > 0 else []


def survey(workdir, prefix="qg_", timeout=50, claim_expiry=60, log_lines=5, now=None):
    """A dict of everything quillgate-status reports; see render() and --json."""
    now = time.time() if now is None else now
    request_re = re.compile(re.escape(prefix[:3]) + _HEX_TMP + "$", re.IGNORECASE)
    signal_re = re.compile(re.escape(prefix[:3]) + r"[0-9A-Fa-f]{1,4}\.ret$", re.IGNORECASE)
    gone_after = timeout + SETTLE_S if timeout > 0 else None
    age = lambda st: max(0, int(now - st.st_mtime))
    leftovers, instances = [], {}

    def leftover(name, why, st):
        leftovers.append({"file": name, "why": why, "age_s": age(st) if st else None})

    try:
        names = sorted(os.listdir(workdir))
    except OSError as e:
        raise SystemExit("quillgate-status: cannot list %s: %s" % (workdir, e.strerror))
    signals = {n[:-4].lower(): n for n in names if signal_re.match(n)}

    # Probes and claims first: a request's state depends on its claim's owner.
    claim_files = {}
    try:
        claim_names = sorted(os.listdir(os.path.join(workdir, CLAIMS)))
    except OSError:
        claim_names = []
    for n in claim_names:
        path = os.path.join(workdir, CLAIMS, n)
        st = _stat(path)
        if st is None:
            continue
        m = _PROBE.match(n)
        if m:
            owner = _instance(_read(path, 1024))
            live = age(st) <= claim_expiry
            instances[m.group(1)] = {"instance": m.group(1), "host": owner and owner["host"],
                                     "pid": owner and owner["pid"], "seen_s": age(st), "live": live, "holds": []}
            if not live:
                leftover(CLAIMS + "/" + n, "probe of a dead instance", st)
            continue
        m = _CLAIM.match(n)
        owner = _instance(_read(path, 1024)) if m else None
        if owner is None:
            if age(st) > SETTLE_S:  # a claim is made with its content in one step, but give it a moment
                leftover(CLAIMS + "/" + n, "malformed", st)
            continue
        claim_files[n] = {"request": m.group(1), "stamp": m.group(2), "owner": owner, "st": st}

    def owner_live(owner):
        known = instances.get(owner["instance"])
        return bool(known and known["live"])

    pending, answered = [], []
    outputs = set()
    for n in names:
        if not request_re.match(n):
            continue
        path = os.path.join(workdir, n)
        st = _stat(path)
        if st is None or not os.path.isfile(path):
            continue
        whole = st.st_size <= WHOLE_READ_BYTES
        text = _read(path, None if whole else HEAD_READ_BYTES)
        if text is None:
            continue
        entry = {"name": n, "age_s": age(st), "_mtime": st.st_mtime}
        if not text:
            if gone_after is not None and age(st) > gone_after:
                leftover(n, "empty request file of a gateway that is gone", st)
            else:
                pending.append(dict(entry, state="being written", method=None, path=None, output=None,
                                    output_bytes=None, owner=None))
            continue
        parsed = parse_request(text, whole)
        if parsed is None:
            if age(st) > SETTLE_S:
                leftover(n, "malformed", st)
            continue
        output, variables = parsed
        outputs.add(output.lower())
        method = variables.get("REQUEST METHOD")
        where = variables.get("REQUEST URI") or (variables.get("SCRIPT NAME", "") + variables.get("PATH INFO", "") +
                                                 ("?" + variables["QUERY STRING"] if "QUERY STRING" in variables else ""))
        out_st = _stat(os.path.join(workdir, output))
        entry.update(method=method, path=where or None, output=output, output_bytes=out_st.st_size if out_st else None)
        # Its claim: the library's own name for this very text, or (another
        # system's clock, another stamp) any claim of this name made since.
        stamp = claim_stamp(text, int(st.st_mtime)) if whole else None
        mine = [c for c in claim_files.values() if c["request"] == n]
        claim = next((c for c in mine if c["stamp"] == stamp), None) or \
            next((c for c in mine if c["st"].st_mtime >= int(st.st_mtime)), None)
        owner = claim["owner"] if claim else None
        entry["owner"] = owner
        signal = signals.pop(n[:-4].lower(), None)
        if gone_after is not None and age(st) > gone_after:
            leftover(n, "request whose gateway is gone (older than the time-out)", st)
            continue
        if signal is not None:
            answered.append(dict(entry, state="answered"))
        elif claim is None:
            pending.append(dict(entry, state="waiting"))
        else:
            pending.append(dict(entry, state="claimed" if owner_live(owner) else "claimed by a dead instance"))
        if owner and owner["instance"] in instances:
            instances[owner["instance"]]["holds"].append(n)

    for base, n in signals.items():
        st = _stat(os.path.join(workdir, n))
        if st and age(st) > SETTLE_S:
            leftover(n, "signal file without its request", st)
    for n in names:
        if _OUTPUT.match(n) and n.lower() not in outputs:
            st = _stat(os.path.join(workdir, n))
            # Being relayed to a slow client, or left by a gateway that was killed.
            if st and gone_after is not None and age(st) > gone_after:
                leftover(n, "output file no request names", st)
    for cn, c in claim_files.items():
        if not owner_live(c["owner"]):
            leftover(CLAIMS + "/" + cn, "claim of a dead instance (%s pid %d)" % (c["owner"]["host"], c["owner"]["pid"]),
                     c["st"])

    log_tail = _log_tail(os.path.join(workdir, ERROR_LOG), log_lines)
    return {
        "directory": workdir,
        "prefix": prefix[:3],
        "time": int(now),
        "instances": sorted(instances.values(), key=lambda i: (not i["live"], i["instance"])),
        "pending": _oldest_first(pending),
        "answered": _oldest_first(answered),
        "leftovers": sorted(leftovers, key=lambda x: x["file"]),
        "error_log": log_tail,
    }


def _oldest_first(entries):
    entries.sort(key=lambda e: (e["_mtime"], e["name"]))
    for e in entries:
        del e["_mtime"]
    return entries


def _who(owner):
    return "%s pid %d (%s)" % (owner["host"], owner["pid"], owner["instance"]) if owner else ""


def render(s):
    """The report as text, as quillgate-status prints it."""
    out = ["Work directory %s  (prefix %s, %s)" % (s["directory"], s["prefix"],
                                                   time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(s["time"])))]
    live = [i for i in s["instances"] if i["live"]]
    out.append("Instances: %d live" % len(live))
    for i in live:
        out.append("  %s  %s pid %s  seen %d s ago, holds %d" % (i["instance"], i["host"], i["pid"], i["seen_s"],
                                                                 len(i["holds"])))
    p = s["pending"]
    out.append("Pending: %d%s" % (len(p), ", oldest %d s" % p[0]["age_s"] if p else ""))
    for r in p:
        owner = _who(r["owner"])
        out.append("  %-12s %5d s  %-6s %-30s %s%s" % (r["name"], r["age_s"], r["method"] or "-", r["path"] or "-",
                                                      r["state"], " by " + owner if owner else ""))
    out.append("Answered, waiting for their gateway: %d" % len(s["answered"]))
    for r in s["answered"]:
        out.append("  %-12s %5d s  %-6s %-30s %s bytes" % (r["name"], r["age_s"], r["method"] or "-", r["path"] or "-",
                                                          r["output_bytes"]))
    out.append("Leftovers: %d" % len(s["leftovers"]))
    for x in s["leftovers"]:
        out.append("  %-40s %s%s" % (x["file"], x["why"], ", %d s old" % x["age_s"] if x["age_s"] is not None else ""))
    out.append("Error log %s (last %d lines):" % (ERROR_LOG, len(s["error_log"])))
    out.extend("  " + line for line in s["error_log"])
    return "\n".join(out) + "\n"


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="quillgate-status",
        description="Show what a Quillgate work directory holds: pending, claimed and answered requests, the "
                    "application instances, leftovers and the end of the error log. Reads the files only.")
    parser.add_argument("workdir", metavar="DIR", help="the work directory (the gateway's Path setting)")
    parser.add_argument("--prefix", default="qg_", help="the gateway's Template setting (default qg_)")
    parser.add_argument("--timeout", type=int, default=50, metavar="SECONDS",
                        help="the gateway's Timeout setting (default 50; 0: no limit): older requests are leftovers")
    parser.add_argument("--claim-expiry", type=int, default=60, metavar="SECONDS",
                        help="the application's claim expiry (default 60): an instance whose probe is older is dead")
    parser.add_argument("--lines", type=int, default=5, help="lines of the error log to show (default 5)")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--json", action="store_true", help="print the report as JSON")
    mode.add_argument("--watch", type=float, nargs="?", const=2.0, metavar="SECONDS",
                      help="show the report again every SECONDS (default 2) until Ctrl+C")
    args = parser.parse_args(argv)
    report = lambda: survey(args.workdir, args.prefix, args.timeout, args.claim_expiry, args.lines)
    if args.json:
        json.dump(report(), sys.stdout, indent=1, sort_keys=True)
        sys.stdout.write("\n")
    elif args.watch:
        try:
            while True:
                text = render(report())
                sys.stdout.write("\033[H\033[2J" + text)
                sys.stdout.flush()
                time.sleep(max(0.2, args.watch))
        except KeyboardInterrupt:
            pass
    else:
        sys.stdout.write(render(report()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
