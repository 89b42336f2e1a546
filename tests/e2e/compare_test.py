"""The same requests through qg as a CGI program and as a FastCGI responder
behind the same web server: the request files the application receives hold
the same variables, in the same order, with the same values and the same body,
but for the variables that differ by the server's own design (see DIFFERING).

Usage: compare_test.py SERVER QG       (lighttpd, apache or nginx)
       compare_test.py --app KEEP WORK (the application: keeps each request file)"""
import glob, os, shlex, subprocess, sys, tempfile, time, urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
SERVE = os.path.join(HERE, "..", "..", "tools", "serve-gateway")

# Variables that one way sets and the other does not, or sets differently, by
# the servers' own design. (Each run's random directory, port and the name
# Apache's CGI program has, nph-qg, are replaced by fixed marks first.)
DIFFERING = {
    # The client's port differs per connection.
    "REMOTE+PORT",
    # fcgiwrap tells its CGI programs their FastCGI role; a responder is told
    # by the protocol itself.
    "FCGI+ROLE",
    # A CGI program inherits the environment of the process that starts it
    # (fcgiwrap's PATH); a responder gets the request's parameters alone.
    "PATH",
    # Apache's FastCGI handler names its proxy target ("proxy:unix:...|fcgi:
    # //localhost/...") where its CGI module names the program's file.
    "SCRIPT+FILENAME",
    # mod_proxy passes its own note about the back-end connection on.
    "proxy-nokeepalive",
}


def marks(text, root, port, server):
    """The request text with the run's random parts replaced by fixed marks."""
    encode = lambda s: "".join(c if c.isalnum() else "%%%02X" % ord(c) for c in s).encode()
    text = text.replace(encode(root), b"ROOT").replace(encode(":" + port), b"%3APORT")
    text = text.replace(b"&SERVER+PORT=%s&" % port.encode(), b"&SERVER+PORT=PORT&")
    if server == "apache":
        text = text.replace(b"nph%2Dqg", b"qg")
    return text


REQUESTS = [
    ("/cgi-bin/qg/p/q?city=K%C3%B6ln&tag=a+b", None, {}),
    ("/cgi-bin/qg?x=1", b"name=J%C3%B6rg&note=a+b\r\nline", {"Content-Type": "application/x-www-form-urlencoded"}),
    ("/cgi-bin/qg/", None, {"X-Note": "<b>&=</b>", "Cookie": "a=1; b=2"}),
]


def keep_requests(keep, work):
    print("ready", flush=True)
    n = 0
    while True:
        for path in sorted(glob.glob(os.path.join(work, "*.TMP"))):
            name = os.path.basename(path)
            if name.startswith("cgi") or os.path.exists(path[:-4] + ".ret"):
                continue
            with open(path, "rb") as f:
                text = f.read()
            if b"#@$ FORM VARIABLES $@#\r\n" not in text:
                continue
            n += 1
            with open(os.path.join(keep, "%03d.req" % n), "wb") as f:
                f.write(text)
            output = text.split(b"&", 2)[1].split(b"=", 1)[1]
            with open(output, "wb") as f:
                f.write(b"kept")
            open(path[:-4] + ".ret", "w").close()
        time.sleep(0.01)


def variables(text):
    line, rest = text.split(b"\r\n", 1)
    pieces = [p.split(b"=", 1) for p in line.split(b"&")[1:-1]]
    return [(n.decode(), v) for n, v in pieces if n != b"OUTPUT+FILE"], rest


def serve_and_ask(server, qg, mode, scratch):
    keep = os.path.join(scratch, mode)
    os.mkdir(keep)
    app = "%s %s --app %s" % (shlex.quote(sys.executable), shlex.quote(os.path.abspath(__file__)), shlex.quote(keep))
    args = [SERVE, "--print-env", "--owner", str(os.getpid()), "--server", server, "--qg", qg, "--app", app]
    if mode == "fastcgi":
        args.append("--fastcgi")
    env = dict(shlex.split(line)[0].split("=", 1) for line in
               subprocess.run(args, check=True, capture_output=True, text=True).stdout.splitlines())
    try:
        for path, body, headers in REQUESTS:
            req = urllib.request.Request(env["QG_BASE_URL"] + path.replace("/cgi-bin/qg", env["QG_URL"][len(env["QG_BASE_URL"]):], 1),
                                         data=body, headers=headers)
            with urllib.request.urlopen(req, timeout=30) as answer:
                assert answer.read() == b"kept"
    finally:
        subprocess.run(shlex.split(env["QG_STOP"]), check=False)
    files = sorted(glob.glob(os.path.join(keep, "*.req")))
    assert len(files) == len(REQUESTS), files
    return [marks(open(f, "rb").read(), env["QG_ROOT"], env["QG_PORT"], server) for f in files]


def main():
    if sys.argv[1] == "--app":
        return keep_requests(sys.argv[2], sys.argv[3])
    server, qg = sys.argv[1], os.path.abspath(sys.argv[2])
    failures = 0
    with tempfile.TemporaryDirectory(prefix="qg-compare.") as scratch:
        cgi = serve_and_ask(server, qg, "cgi", scratch)
        fcgi = serve_and_ask(server, qg, "fastcgi", scratch)
    for (path, _, _), a, b in zip(REQUESTS, cgi, fcgi):
        (va, body_a), (vb, body_b) = variables(a), variables(b)
        differing = sorted({n for n, _ in va} ^ {n for n, _ in vb} | {n for n, v in va if (n, v) not in vb})
        unexpected = [n for n in differing if n not in DIFFERING]
        print("%s: %d variables, differing by design: %s" % (path, len(va), ", ".join(n for n in differing if n in DIFFERING) or "none"))
        keep = lambda vs: [(n, v) for n, v in vs if n not in DIFFERING]
        if unexpected or keep(va) != keep(vb) or body_a != body_b:
            failures += 1
            print("FAIL %s: unexpected differences %s" % (path, unexpected))
            for n in unexpected:
                print("  cgi     %s=%s" % (n, dict(va).get(n)))
                print("  fastcgi %s=%s" % (n, dict(vb).get(n)))
            if body_a != body_b:
                print("  bodies differ: %r / %r" % (body_a, body_b))
    print("%d passed, %d failed" % (len(REQUESTS) - failures, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
