#!/bin/bash
# examples/hello behind the real gateway: two requests, two greetings.
# Usage: hello-test.sh QG_BIN HELLO_BIN
set -u
qg_bin=$1 hello_bin=$2
root=$(mktemp -d) || exit 1
hello_pid=""
cleanup() {
  if [ -n "$hello_pid" ]; then kill "$hello_pid" 2>/dev/null; wait "$hello_pid" 2>/dev/null; fi
  rm -rf "${root:?}"
}
trap cleanup EXIT
mkdir "$root/work"
cp "$qg_bin" "$root/qg"
printf '[zrcgi]\nPath=%s/work/\nTimeout=20\nTemplate=qg_\n' "$root" >"$root/qg.ini"
"$hello_bin" "$root/work" 2>"$root/hello.log" &
hello_pid=$!
status=0
for method in GET POST; do
  got=$(printf 'a=1' | env -i REQUEST_METHOD=$method CONTENT_LENGTH=3 "$root/qg")
  want=$(printf 'HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nHello, %s!' "$method")
  if [ "$got" != "$want" ]; then
    echo "FAIL $method: got [$got]; hello said: $(cat "$root/hello.log")"
    status=1
  fi
done
exit $status
