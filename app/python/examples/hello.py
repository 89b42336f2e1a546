import html, sys, urllib.parse
import quillgate

with quillgate.open(sys.argv[1], prefix="qg_") as app:  # the gateway's Path and Template
    print("hello.py: serving", sys.argv[1], flush=True)
    for req in app:  # each request this process claims, until interrupted
        form = urllib.parse.parse_qs(req.body.decode(errors="replace") or req.get("QUERY_STRING", ""))
        name = html.escape(form.get("name", ["world"])[0])
        agent = html.escape(req.get("HTTP_USER_AGENT", "?"))
        req.answer(f"<h1>Hello, {name}!</h1><p>{req['REQUEST_METHOD']} from {agent}</p>")
