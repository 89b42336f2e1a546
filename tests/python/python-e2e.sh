#!/usr/bin/env bash
# The ten-line Python application (app/python/examples/hello.py) behind the
# real gateway and lighttpd: curl -> lighttpd -> qg -> work directory ->
# hello.py (the quillgate module over libquillgate-app) -> back to curl.
#
# Usage: python-e2e.sh QG LIBRARY PYTHON
set -euo pipefail

qg=${1:?path of qg}
library=${2:?path of libquillgate-app}
python=${3:?python3}
repo=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=tools/lib/servers.sh
. "$repo/tools/lib/servers.sh"
served_scratch
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

export QUILLGATE_APP_LIBRARY=$library PYTHONPATH=$repo/app/python PYTHONDONTWRITEBYTECODE=1
# A sanitizer runtime to load first (the ASan build) is for the application alone.
app=$(printf '%q -u %q' "$python" "$repo/app/python/examples/hello.py")
[ -z "${LD_PRELOAD:-}" ] || app="env LD_PRELOAD=$(printf '%q' "$LD_PRELOAD") $app"
unset LD_PRELOAD
env=$("$repo/tools/serve-gateway" --print-env --owner $$ --qg "$qg" --app "$app") ||
  { echo "cannot start the servers"; exit 1; }
eval "$env"

fetch() { # NAME PATH [CURL ARGS...]: the status on stdout, the body in a file
  local name=$1 path=$2
  shift 2
  curl -s --max-time 60 -o "$scratch/$name.body" -w '%{http_code}' "$@" "$QG_URL$path" || echo curl-failed
}

# name | path | form body (empty: GET) | user agent | text the answer must hold
cases() {
  cat <<'EOF_CASES'
get|/?name=J%C3%B6rg|||<h1>Hello, Jörg!</h1><p>GET from curl/
post|/|name=%3Cb%3Ebold%3C%2Fb%3E&x=1||<h1>Hello, &lt;b&gt;bold&lt;/b&gt;!</h1><p>POST from
agent|/||a "tool" & more|<h1>Hello, world!</h1><p>GET from a &quot;tool&quot; &amp; more</p>
EOF_CASES
}
while IFS='|' read -r name path body agent want; do
  args=()
  [ -z "$body" ] || args+=(--data-binary "$body")
  [ -z "$agent" ] || args+=(-A "$agent")
  status=$(fetch "$name" "$path" "${args[@]}")
  [ "$status" = 200 ] || fail "$name: status $status"
  grep -qF -- "$want" "$scratch/$name.body" || fail "$name: lacks '$want': $(cat "$scratch/$name.body")"
done < <(cases)

# Requests at once, each answered with its own name.
pids=()
for i in $(seq 1 8); do
  fetch "p$i" "/?name=n${i}z" >"$scratch/p$i.status" &
  pids+=($!)
done
wait "${pids[@]}"
for i in $(seq 1 8); do
  [ "$(cat "$scratch/p$i.status")" = 200 ] || fail "p$i: status $(cat "$scratch/p$i.status")"
  grep -qF "<h1>Hello, n${i}z!</h1>" "$scratch/p$i.body" || fail "p$i: $(cat "$scratch/p$i.body")"
done

# Nothing is left behind (but the running application's own liveness file among
# the claims) and nothing went wrong.
left() { find "$QG_WORKDIR" -type f ! -name '*.live' ! -name zrCGIErr.txt; }
for ((i = 0; i < 100; i++)); do
  [ -z "$(left)" ] && break
  sleep 0.1
done
[ -z "$(left)" ] || fail "left in the work directory: $(left)"
[ ! -e "$QG_ERROR_LOG" ] || fail "error log: $(cat "$QG_ERROR_LOG")"
if grep -q Traceback "$QG_ECHO_LOG"; then fail "the application failed: $(cat "$QG_ECHO_LOG")"; fi

if [ "$failures" -gt 0 ]; then
  echo "application log: $(cat "$QG_ECHO_LOG")"
  exit 1
fi
echo "PASS"
