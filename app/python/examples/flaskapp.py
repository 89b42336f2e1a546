"""A small Flask application behind the gateway: a form, a redirect, a cookie,
a JSON answer and an upload. Serve it with

    python3 -m quillgate.wsgi flaskapp:app --workdir /srv/qgwork/ --threads 4

from the directory that holds this file."""

import hashlib

from flask import Flask, jsonify, redirect, render_template_string, request, url_for

app = Flask(__name__)

PAGE = """<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>{{ title }}</title></head><body>
<h1>{{ title }}</h1>
<form method="post" action="{{ url_for('greet') }}">
  <input name="name" value="{{ name }}"> <button>Greet me</button>
</form>
<form method="post" action="{{ url_for('upload') }}" enctype="multipart/form-data">
  <input type="file" name="file"> <button>Upload</button>
</form>
</body></html>"""


@app.get("/")
def index():
    name = request.cookies.get("name", "")
    return render_template_string(PAGE, title="Hello, %s!" % name if name else "Who are you?", name=name)


@app.post("/greet")
def greet():
    # Post, redirect, get: the name travels in a cookie.
    answer = redirect(url_for("index"))
    answer.set_cookie("name", request.form.get("name", "").strip()[:40], httponly=True, samesite="Lax")
    return answer


@app.get("/api/whoami")
def whoami():
    return jsonify(name=request.cookies.get("name"), method=request.method, agent=request.user_agent.string,
                   query=request.args.to_dict())


@app.post("/upload")
def upload():
    file = request.files.get("file")
    if file is None:
        return jsonify(error="no file"), 400
    data = file.read()
    return jsonify(filename=file.filename, bytes=len(data), lines=data.count(b"\n"),
                   sha256=hashlib.sha256(data).hexdigest())
