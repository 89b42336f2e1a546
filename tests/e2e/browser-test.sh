#!/usr/bin/env bash
# A real browser through the gateway: headless Chromium loads a page whose form
# posts to qg behind lighttpd, and the page qg-echo answers with must show
# every field decoded; then the time-out page must render with its title. Given
# the application library and a Python with Flask, the Flask example behind
# the WSGI server too: a form, its redirect and cookie, an upload and JSON.
#
# Usage: browser-test.sh QG QG_ECHO [LIBQUILLGATE_APP PYTHON]
set -euo pipefail

qg=${1:?path of qg}
qg_echo=${2:?path of qg-echo}
app_library=${3:-}
python=${4:-}
serve=$(cd "$(dirname "$0")/../../tools" && pwd)/serve-gateway
# shellcheck source=tools/lib/servers.sh
. "${serve%/*}/lib/servers.sh"
served_scratch

fail() { echo "FAIL [browser] $*"; failures=$((failures + 1)); }

browser=$(command -v chromium || true)
[ -n "$browser" ] || { echo "chromium is not installed (run tools/install-deps)"; exit 1; }

start_server() { # extra serve-gateway options
  [ -z "${QG_STOP:-}" ] || eval "$QG_STOP"
  eval "$("$serve" --print-env --owner $$ --qg "$qg" --echo "$qg_echo" "$@")"
}

# Prints the DOM of URL once its scripts (and the navigations they start) have
# run. The flags keep Chromium off the network and out of the machine's profile.
dump_dom() { # NAME URL
  local profile
  profile=$(mktemp -d "$scratch/profile.XXXXXX")
  timeout 120 "$browser" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$profile" --virtual-time-budget=15000 --dump-dom "$2" \
    >"$scratch/$1.html" 2>"$scratch/$1.err" || fail "$1: chromium failed: $(tail -n 5 "$scratch/$1.err")"
}

expect_in() { # NAME TEXT
  grep -qF -- "$2" "$scratch/$1.html" || fail "$1: missing '$2' in:"$'\n'"$(cat "$scratch/$1.html")"
}

# ---------------------------------------------------------------- a form post
start_server
cat >"$QG_ROOT/www/form.html" <<'EOF'
<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>form</title></head><body>
<form method="post" action="/cgi-bin/qg/browser" accept-charset="utf-8">
<input name="city" value="Köln &amp; Zürich">
<input name="tag" value="&lt;b&gt;x&lt;/b&gt; 5&lt;6">
<textarea name="note">first line
second line</textarea>
</form>
<script>document.forms[0].submit();</script>
</body></html>
EOF
dump_dom form "$QG_BASE_URL/form.html"
expect_in form 'Method: <b>POST</b>'
expect_in form '<th>city</th><td>Köln &amp; Zürich</td>'
expect_in form '<th>tag</th><td>&lt;b&gt;x&lt;/b&gt; 5&lt;6</td>'
expect_in form '<th>note</th><td>first line'
expect_in form 'second line</td>'

# ---------------------------------------------------------------- the time-out page
start_server --timeout 1
dump_dom timeout "$QG_URL?qg_sleep=3000"
expect_in timeout '<title>Request Timed Out</title>'
expect_in timeout 'The application took too long to respond and the request was timed out.'

# ---------------------------------------------------------------- the Flask example
if [ -n "$python" ] && "$python" -c 'import flask' 2>/dev/null; then
  repo=$(cd "$(dirname "$0")/../.." && pwd)
  export QUILLGATE_APP_LIBRARY=$app_library PYTHONPATH=$repo/app/python:$repo/app/python/examples PYTHONDONTWRITEBYTECODE=1
  start_server --app "$(printf '%q -u -m quillgate.wsgi flaskapp:app --validate --threads 2 --workdir' "$python")"
  # The page posts to the application's form address: the answer is a redirect
  # to the application's page, which greets by the cookie the redirect set.
  cat >"$QG_ROOT/www/flask.html" <<'EOF_PAGE'
<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>flask</title></head><body>
<form method="post" action="/cgi-bin/qg/greet" accept-charset="utf-8"><input name="name" value="Zoë &lt;3"></form>
<script>document.forms[0].submit();</script>
</body></html>
EOF_PAGE
  dump_dom flask "$QG_BASE_URL/flask.html"
  expect_in flask '<title>Hello, Zoë &lt;3!</title>'
  # An upload as a page's script sends it, and the JSON answer shown.
  cat >"$QG_ROOT/www/upload.html" <<'EOF_PAGE'
<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>upload</title></head><body><pre id="out"></pre><script>
const form = new FormData();
form.append("file", new Blob(["one\ntwo\nthree\n"], {type: "text/plain"}), "list.txt");
fetch("/cgi-bin/qg/upload", {method: "POST", body: form})
  .then(r => r.json()).then(j => { out.textContent = `${j.filename} ${j.bytes} ${j.lines}`; });
</script></body></html>
EOF_PAGE
  dump_dom upload "$QG_BASE_URL/upload.html"
  expect_in upload '<pre id="out">list.txt 14 3</pre>'
  if grep -q 'failed\|Traceback' "$QG_ECHO_LOG"; then fail "flask: the server logged a failure: $(cat "$QG_ECHO_LOG")"; fi
else
  echo "the Flask example is not tried: no application library and Python with Flask given"
fi

if [ "$failures" -gt 0 ]; then
  echo "$failures browser check(s) failed"
  exit 1
fi
echo "browser checks passed"
