#!/bin/bash
# A Linux instance and a Windows instance (qg-echo.exe under Wine) on one work
# directory behind the Linux gateway: every request is answered once, by one of
# them, and right. Both derive the same claim for the same request file (each
# request lives 300 ms at least, so the Windows instance's listing sees most of
# those the Linux one takes).
# Usage: mixed-test.sh LINUX_BIN_DIR WINE_RUN WINE_PREFIX QG_ECHO_EXE [REQUESTS]
# Exits 77 when the Linux build is not there (tools/check builds it first).
set -u
linux=$1 wine_run=$2 wine_prefix=$3 echo_exe=$4 requests=${5:-200}
for f in "$linux/qg" "$linux/qg-echo"; do
  [ -x "$f" ] || { echo "SKIP: $f is missing (build the release preset first)"; exit 77; }
done
root=$(mktemp -d) || exit 1
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  rm -rf "${root:?}"
}
trap cleanup EXIT
mkdir "$root/work" "$root/out"
cp "$linux/qg" "$root/qg"
printf '[zrcgi]\nPath=%s/work/\nTimeout=30\nPollTime=50\nTemplate=qg_\n' "$root" >"$root/qg.ini"

"$linux/qg-echo" --workdir "$root/work" >"$root/linux.log" 2>&1 &
pids+=($!)
# Wine maps the Linux root to drive Z:.
"$wine_run" "$wine_prefix" "$echo_exe" --workdir "Z:${root//\//\\}\\work" >"$root/windows.log" 2>&1 &
pids+=($!)
for log in linux windows; do
  for _ in $(seq 1 600); do
    grep -q watching "$root/$log.log" 2>/dev/null && break
    sleep 0.1
  done
  grep -q watching "$root/$log.log" || { echo "FAIL: the $log instance did not start: $(cat "$root/$log.log")"; exit 1; }
done

# First the Windows instance alone (the Linux one stopped), so that the mixed
# run below is known to have two live instances.
kill -STOP "${pids[0]}"
for i in $(seq 1 10); do
  env -i REQUEST_METHOD=GET QUERY_STRING="alone${i}x" "$root/qg" | grep -q "alone${i}x" ||
    { echo "FAIL: the Windows instance alone did not answer: $(tail -n 3 "$root/windows.log")"; exit 1; }
done
# Each answer is logged just after its signal file is made.
for _ in $(seq 1 100); do
  [ "$(grep -c '^qg-echo: answered' "$root/windows.log")" -ge 10 ] && break
  sleep 0.1
done
alone=$(grep -c '^qg-echo: answered' "$root/windows.log")
kill -CONT "${pids[0]}"

started=$SECONDS
seq 1 "$requests" | xargs -P 8 -I{} sh -c \
  'env -i REQUEST_METHOD=GET QUERY_STRING=mixed{}x\&qg_sleep=300 "$0/qg" >"$0/out/{}"' "$root"
elapsed=$((SECONDS - started))

# The instances log an answer after making its signal file: give the last ones
# a moment, and the owners their next listing, where they drop their claims.
sleep 2
right=0
for i in $(seq 1 "$requests"); do
  grep -q "mixed${i}x" "$root/out/$i" && right=$((right + 1))
done
linux_answers=$(grep -c '^qg-echo: answered' "$root/linux.log")
windows_answers=$(($(grep -c '^qg-echo: answered' "$root/windows.log") - alone))
answers=$((linux_answers + windows_answers))
# Every request handled once: an instance that claimed a request another one
# answered logs it abandoned (no gateway here gives up), and its handler ran
# for nothing: an order placed twice.
handled=$(($(cat "$root/linux.log" "$root/windows.log" | grep -cE '^qg-echo: (answered|abandoned|failed)') - alone))
left=$(find "$root/work" -type f \( -name '*.TMP' -o -name '*.ret' -o -name '*.clm' \) | wc -l)
echo "[figures] mixed Linux + Windows: requests $requests, right $right, answers $answers" \
  "(Linux $linux_answers, Windows $windows_answers), handled $handled, duplicates $((handled - right)), files left $left," \
  "${elapsed} s"
status=0
[ "$alone" -eq 10 ] || { echo "FAIL: the Windows instance alone answered $alone of 10"; status=1; }
[ "$right" -eq "$requests" ] || { echo "FAIL: $((requests - right)) wrong or missing answers"; status=1; }
[ "$answers" -eq "$requests" ] || { echo "FAIL: $answers answers for $requests requests"; status=1; }
[ "$handled" -eq "$requests" ] || { echo "FAIL: $handled requests handled for $requests"; status=1; }
[ "$status" -eq 0 ] || { tail -n 5 "$root/linux.log" "$root/windows.log"; }
exit $status
