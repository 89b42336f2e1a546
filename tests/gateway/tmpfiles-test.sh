#!/bin/bash
# Runs the packaged tmpfiles rule with systemd-tmpfiles --clean on a scratch
# work directory: fresh files stay; once older than the rule's age, every file
# but the error log goes. The age is shortened to one second for the second
# part, so the test does not wait a day.
# Usage: tmpfiles-test.sh RULE
set -euo pipefail
rule=$1
work_in_rule=$(awk '$1 == "e" {print $2}' "$rule")
command -v systemd-tmpfiles >/dev/null || { echo "systemd-tmpfiles missing: skipped"; exit 77; }
scratch=$(mktemp -d)
trap 'rm -r "${scratch:?}"' EXIT
work=$scratch/work
mkdir "$work"
names=(qg_1A.TMP Qg_2.RET qg_3.ret cgi4.TMP abc5.TMP abc5.ret zrCGIErr.txt)
for n in "${names[@]}"; do : >"$work/$n"; done
mkdir "$work/subdir"

listing() { (cd "$work" && find . -mindepth 1 | sort | tr '\n' ' '); }
fail() { echo "FAIL: $*" >&2; exit 1; }

sed "s|$work_in_rule|$work|g" "$rule" >"$scratch/as-shipped.conf"
[ -n "$work_in_rule" ] && grep -q "$work" "$scratch/as-shipped.conf" || fail "no directory to age in $rule"
before=$(listing)
systemd-tmpfiles --clean "$scratch/as-shipped.conf"
[ "$(listing)" = "$before" ] || fail "fresh files removed: $(listing)"

# The same rule with an age of one second, two seconds later.
sed -E 's/[[:space:]]1d[[:space:]]*$/ 1s/' "$scratch/as-shipped.conf" >"$scratch/short.conf"
grep -qE ' 1s$' "$scratch/short.conf" || fail "no age of 1d in the rule"
sleep 2
systemd-tmpfiles --clean "$scratch/short.conf"
[ "$(listing)" = "./zrCGIErr.txt " ] || fail "after ageing: $(listing)"
echo "ok"
