#!/usr/bin/env bash
# The Flask example (app/python/examples/flaskapp.py) behind lighttpd and the
# real gateway through the WSGI server, every request under wsgiref.validate:
# curl -> lighttpd -> qg -> work directory -> quillgate.wsgi -> Flask -> back.
# Each feature once: a form post, its redirect and cookie, a JSON answer, a
# text upload, a binary upload with the gateway's BinaryBody=1; then a request
# whose answer Flask fails to make.
#
# Usage: flask-e2e.sh QG LIBRARY PYTHON
set -euo pipefail

qg=${1:?path of qg}
library=${2:?path of libquillgate-app}
python=${3:?python3}
repo=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=tools/lib/servers.sh
. "$repo/tools/lib/servers.sh"
"$python" -c 'import flask' 2>/dev/null || { echo "SKIPPED: python3-flask is not installed (run tools/install-deps)"; exit 77; }
served_scratch
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

export QUILLGATE_APP_LIBRARY=$library PYTHONPATH=$repo/app/python:$repo/app/python/examples PYTHONDONTWRITEBYTECODE=1
app=$(printf '%q -u -m quillgate.wsgi flaskapp:app --validate --threads 4 --workdir' "$python")
[ -z "${LD_PRELOAD:-}" ] || app="env LD_PRELOAD=$(printf '%q' "$LD_PRELOAD") $app"
unset LD_PRELOAD
eval "$("$repo/tools/serve-gateway" --print-env --owner $$ --qg "$qg" --app "$app")"

jar=$scratch/cookies
fetch() { # NAME PATH [CURL ARGS...]: status and Location on stdout, the body in NAME.body
  local name=$1 path=$2
  shift 2
  curl -s --max-time 60 -b "$jar" -c "$jar" -o "$scratch/$name.body" -w '%{http_code} %{redirect_url}' "$@" \
    "$QG_URL$path" || echo curl-failed
}
expect() { # NAME WHAT GOT WANT
  [ "$3" = "$4" ] || fail "$1: $2 is '$3', not '$4'"
}
has() { # NAME TEXT
  grep -qF -- "$2" "$scratch/$1.body" || fail "$1: lacks '$2': $(cat "$scratch/$1.body")"
}

expect form status "$(fetch form /)" "200 "
has form '<form method="post" action="/cgi-bin/qg/greet">'
# The form's post answers with a redirect to the page, and a cookie that page reads.
expect greet "status and location" "$(fetch greet /greet --data 'name=J%C3%B6rg+%26+Co')" "302 $QG_BASE_URL/cgi-bin/qg/"
grep -q $'\tname\t' "$jar" || fail "greet: no cookie set: $(cat "$jar")"
expect hello status "$(fetch hello /)" "200 "
has hello '<title>Hello, Jörg &amp; Co!</title>'
expect json status "$(fetch json '/api/whoami?x=1' -A 'Tool/1.0')" "200 "
expect json answer "$(cat "$scratch/json.body")" \
  '{"agent":"Tool/1.0","method":"GET","name":"J\u00f6rg & Co","query":{"x":"1"}}'
# A text upload as the gateway hands it over by default: its CR LF pairs read as LF.
printf 'first line\r\nsecond line\r\n' >"$scratch/notes.txt"
printf 'first line\nsecond line\n' >"$scratch/notes.lf"
expect upload status "$(fetch upload /upload -F "file=@$scratch/notes.txt;type=text/plain")" "200 "
expect upload answer "$(cat "$scratch/upload.body")" \
  "{\"bytes\":23,\"filename\":\"notes.txt\",\"lines\":2,\"sha256\":\"$(sha256sum <"$scratch/notes.lf" | cut -d' ' -f1)\"}"
# A binary upload (every byte value, CR LF and zero bytes included) arrives
# byte for byte once the gateway runs with BinaryBody=1.
"$python" -c 'import sys; sys.stdout.buffer.write(bytes(range(256)) * 4 + b"\r\n\x00\x1a end")' >"$scratch/blob.bin"
printf 'BinaryBody=1\n' >>"$QG_INI"
expect binary status "$(fetch binary /upload -F "file=@$scratch/blob.bin;type=application/octet-stream")" "200 "
expect binary answer "$(cat "$scratch/binary.body")" \
  "{\"bytes\":$(stat -c %s "$scratch/blob.bin"),\"filename\":\"blob.bin\",\"lines\":$(tr -cd '\n' <"$scratch/blob.bin" | wc -c),\"sha256\":\"$(sha256sum <"$scratch/blob.bin" | cut -d' ' -f1)\"}"
sed -i '/^BinaryBody=1$/d' "$QG_INI"
# No route: Flask's own 404, which the validator passes.
expect missing status "$(fetch missing /no/such/page)" "404 "

# Requests at once over the server's threads, each with its own answer.
pids=()
for i in $(seq 1 8); do
  curl -s --max-time 60 -o "$scratch/p$i.body" "$QG_URL/api/whoami?n=$i" &
  pids+=($!)
done
wait "${pids[@]}"
for i in $(seq 1 8); do has "p$i" "\"query\":{\"n\":\"$i\"}"; done

[ ! -e "$QG_ERROR_LOG" ] || fail "error log: $(cat "$QG_ERROR_LOG")"
if grep -q 'failed\|Traceback' "$QG_ECHO_LOG"; then fail "the server logged a failure: $(cat "$QG_ECHO_LOG")"; fi
if [ "$failures" -gt 0 ]; then
  echo "server log: $(cat "$QG_ECHO_LOG")"
  exit 1
fi
echo "PASS"
