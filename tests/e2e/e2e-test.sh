#!/usr/bin/env bash
# End-to-end tests through a real web server: curl -> lighttpd (mod_cgi),
# Apache httpd (mod_cgid, the program named nph-qg) or nginx (fcgiwrap) -> qg ->
# work directory -> qg-echo -> back to curl.
#
# Usage: e2e-test.sh SERVER GROUP QG QG_ECHO     (lighttpd, apache or nginx; the two programs to run)
#   requests  one request per row of the table below
#   timeout   an application slower than Timeout=1 gets the time-out page
#   parallel  20 requests at once, each with its own answer
set -euo pipefail

server=${1:?server}
serve_options=()
if [[ $server == *+fastcgi ]]; then
  server=${server%+fastcgi}
  serve_options=(--fastcgi)
fi
group=${2:?group}
qg=${3:?path of qg}
qg_echo=${4:?path of qg-echo}
serve=$(cd "$(dirname "$0")/../../tools" && pwd)/serve-gateway
# shellcheck source=tools/lib/servers.sh
. "${serve%/*}/lib/servers.sh"
served_scratch

fail() { echo "FAIL [$server $group] $*"; failures=$((failures + 1)); }

start_server() { # extra serve-gateway options
  local env
  env=$("$serve" --print-env --owner $$ --server "$server" ${serve_options[@]+"${serve_options[@]}"} --qg "$qg" --echo "$qg_echo" "$@") ||
    { echo "cannot start the servers"; exit 1; }
  eval "$env"
  script_path=${QG_URL#"$QG_BASE_URL"}  # /cgi-bin/qg or /cgi-bin/nph-qg
}

# What the gateway deletes after each request: only its error log may stay.
# The running application keeps its claims folder, with its own liveness file
# in it; a claim left there once the gateway is done would be a leak.
workdir_clean() {
  [ -z "$(find "${QG_WORKDIR%/}" -mindepth 1 ! -name zrCGIErr.txt ! -path "${QG_WORKDIR%/}/claims" ! -path "${QG_WORKDIR%/}/claims/*.live" -print -quit)" ]
}

check_workdir_clean() {
  wait_until 10 workdir_clean || fail "files left in the work directory: $(ls -AR "$QG_WORKDIR")"
}

check_answered_count() { # N
  local n
  n=$(grep -c '^qg-echo: answered ' "$QG_ECHO_LOG" || true)
  [ "$n" -eq "$1" ] || fail "qg-echo answered $n times, expected $1: $(cat "$QG_ECHO_LOG")"
}

# Sends one request; the status goes to stdout, headers and body to files.
fetch() { # NAME PATH BODY HEADER
  local name=$1 path=$2 body=$3 header=$4 args
  args=(-s --max-time 60 -o "$scratch/$name.body" -D "$scratch/$name.head" -w '%{http_code}')
  [ -z "$body" ] || args+=(--data-binary "$body")
  [ -z "$header" ] || args+=(-H "$header")
  curl "${args[@]}" "$QG_URL$path" || echo "curl-failed"
}

# Checks one answer: expected texts ("@@" between them) must occur in headers
# or body, forbidden ones must not; "size=N" checks the body's length and
# content against qg-echo's byte pattern.
check_answer() { # NAME STATUS GOT_STATUS MUST MUST_NOT
  local name=$1 want=$2 got=$3 must=$4 must_not=$5 text item
  text=$(cat "$scratch/$name.head" "$scratch/$name.body")
  [ "$got" = "$want" ] || fail "$name: status $got, expected $want"
  while [ -n "$must" ]; do
    item=${must%%@@*}
    [ "$item" = "$must" ] && must="" || must=${must#*@@}
    if [[ $item == size=* ]]; then
      check_pattern "$name" "${item#size=}"
    elif [[ $text != *"$item"* ]]; then
      fail "$name: missing '$item' in:"$'\n'"$text"
    fi
  done
  while [ -n "$must_not" ]; do
    item=${must_not%%@@*}
    [ "$item" = "$must_not" ] && must_not="" || must_not=${must_not#*@@}
    [[ $text != *"$item"* ]] || fail "$name: unexpected '$item'"
  done
}

check_pattern() { # NAME SIZE
  local line=ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789.
  yes "$line" | head -c "$2" >"$scratch/$1.expected" || true
  cmp -s "$scratch/$1.expected" "$scratch/$1.body" ||
    fail "$1: body of $(stat -c %s "$scratch/$1.body") bytes differs from the $2-byte pattern"
}

# name | path and query | body (empty: GET) | extra header | status | must contain | must not contain
requests_table() {
  cat <<'EOF'
get-query|/p/q?city=K%C3%B6ln&tag=a+b|||200|Content-type: text/html@@Method: <b>GET</b>@@Path: <b>@SCRIPT@/p/q</b>@@<th>QUERY STRING</th><td>city=K%C3%B6ln&amp;tag=a+b</td>@@<th>DllVersion</th><td>Quillgate 3.00.02</td>@@<p>(none)</p>|<h2>Form fields</h2>
post-form|/form|name=J%C3%B6rg&note=<b>bold</b>&x=a+b||200|Method: <b>POST</b>@@<pre>name=J%C3%B6rg&amp;note=&lt;b&gt;bold&lt;/b&gt;&amp;x=a+b</pre>@@<th>name</th><td>Jörg</td>@@<th>note</th><td>&lt;b&gt;bold&lt;/b&gt;</td>@@<th>x</th><td>a b</td>|<b>bold</b>
post-chunked|/chunked|name=J%C3%B6rg&x=a+b|Transfer-Encoding: chunked|200|Method: <b>POST</b>@@<th>name</th><td>Jörg</td>@@<th>x</th><td>a b</td>|
header-escaped|/||X-Note: <script>alert(1)</script>|200|<th>X NOTE</th><td>&lt;script&gt;alert(1)&lt;/script&gt;</td>|<script>
redirect|/?qg_status=302&qg_location=http://example.com/next%3Fa%3D1|||302|Location: http://example.com/next?a=1|Content-type: text/html
not-found|/?qg_status=404|||404|Method: <b>GET</b>|
bytes|/?qg_bytes=100000|||200|size=100000|
empty|/?qg_empty=1|||200|<title>An error occurred</title>@@The application returned no output to the Web server (qg.exe)...|qg-echo
EOF
}

run_requests() {
  start_server
  local rows=0 name path body header status must must_not got
  while IFS='|' read -r name path body header status must must_not; do
    rows=$((rows + 1))
    if [ "$server" = nginx ] || { [ "$server" = apache ] && [ ${#serve_options[@]} -gt 0 ]; }; then
      # nginx, and Apache in front of a FastCGI responder, read the response
      # as CGI headers (the gateway turns an application's status line into a
      # Status header there) and write the Content-Type header in their own
      # letter case, so the gateway's "Content-type" cannot be told from the
      # application's own.
      must=${must//Content-type:/Content-Type:}
    fi
    got=$(fetch "$name" "$path" "$body" "$header")
    check_answer "$name" "$status" "$got" "${must//@SCRIPT@/$script_path}" "$must_not"
  done < <(requests_table)
  check_workdir_clean
  check_answered_count "$rows"
  [ ! -e "$QG_ERROR_LOG" ] || fail "unexpected error log: $(cat "$QG_ERROR_LOG")"
}

run_timeout() {
  start_server --timeout 1
  local got
  got=$(fetch slow '/?qg_sleep=3000' '' '')
  check_answer slow 200 "$got" \
    'Content-Type: text/html@@<title>Request Timed Out</title>@@<b>Request Timed Out</b>@@The application took too long to respond and the request was timed out.' \
    'qg-echo'
  grep -Eq $'^[0-9]{2}/[0-9]{2}/[0-9]{4} [0-9]{2}:[0-9]{2}   Request timed out\\.\\.\\. - -?[0-9]+\r$' "$QG_ERROR_LOG" ||
    fail "no time-out line in the error log: $(cat -A "$QG_ERROR_LOG" 2>&1)"
  # qg-echo answers after the gateway gave up: it must not recreate the
  # deleted output file nor leave a signal file behind.
  wait_until 15 grep -q '^qg-echo: abandoned ' "$QG_ECHO_LOG" ||
    fail "qg-echo did not notice the abandoned request: $(cat "$QG_ECHO_LOG")"
  check_workdir_clean
  # A quick answer still gets through with the same short time-out.
  got=$(fetch quick '/?after=timeout' '' '')
  check_answer quick 200 "$got" 'Query: <b>after=timeout</b>' ''
  check_workdir_clean
}

run_parallel() {
  start_server
  local i pids=() tags
  # Each request carries its own tag. The "~" keeps a tag from ever being met
  # by chance: random names (mktemp's, which every echoed page shows as the
  # server's directory) use letters and digits only.
  for i in $(seq 1 20); do
    # Odd requests post a form, even ones send only a query; all overlap.
    if ((i % 2)); then
      fetch "p$i" "/?id=r${i}~z&qg_sleep=300" "field=r${i}~z" '' >"$scratch/p$i.status" &
    else
      fetch "p$i" "/?id=r${i}~z&qg_sleep=300" '' '' >"$scratch/p$i.status" &
    fi
    pids+=($!)
  done
  wait "${pids[@]}"
  for i in $(seq 1 20); do
    check_answer "p$i" 200 "$(cat "$scratch/p$i.status")" "Query: <b>id=r${i}~z&amp;qg_sleep=300</b>" ''
    tags=$(grep -o 'r[0-9]*~z' "$scratch/p$i.body" | sort -u | tr '\n' ' ')
    [ "$tags" = "r${i}~z " ] || fail "p$i: answer carries tags '$tags'"
    if ((i % 2)); then
      grep -q "<th>field</th><td>r${i}~z</td>" "$scratch/p$i.body" || fail "p$i: form body missing"
    fi
  done
  check_workdir_clean
  check_answered_count 20
}

echo_gone() {
  local stat
  read -r stat <"/proc/$QG_ECHO_PID/stat" 2>/dev/null || return 0
  stat=${stat##*) }
  [ "${stat%% *}" = Z ]
}

# Stops qg-echo first so that its exit is seen, and checks every log for
# sanitizer reports (qg's standard error reaches the web server's logs).
finish_server() {
  kill -TERM "$QG_ECHO_PID" 2>/dev/null || true
  wait_until 10 echo_gone || fail "qg-echo did not stop on SIGTERM"
  grep -q '^qg-echo: stopped$' "$QG_ECHO_LOG" || fail "qg-echo did not shut down cleanly: $(cat "$QG_ECHO_LOG")"
  local log
  for log in "$QG_ECHO_LOG" "$QG_ROOT"/server*.log "$QG_ROOT"/responder.log; do
    [ -e "$log" ] || continue
    ! grep -Eq 'Sanitizer|runtime error:' "$log" || fail "sanitizer report in $log: $(cat "$log")"
  done
}

case "$group" in
  requests) run_requests ;;
  timeout) run_timeout ;;
  parallel) run_parallel ;;
  *) echo "unknown group $group"; exit 2 ;;
esac
finish_server

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed in group $group"
  exit 1
fi
echo "group $group passed"
