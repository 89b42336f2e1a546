#!/usr/bin/env bash
# Several hosts on one work directory over a network file system, on one
# machine: a private server on 127.0.0.1 serves the application host's work
# directory (sshd, or smbd for SMB), and each other host is a private mount
# namespace that mounts it at the same path (with sshfs, or with the FUSE SMB
# client smbnetfs and a bind mount of the share's folder). Two web hosts (a
# private lighttpd each, running qg) take the requests; two application
# instances answer them, one on the application host itself and one on a
# second application host.
#
# Checks that every request is answered once and right, that nothing is left in
# the work directory (hidden .fuse_hidden* files included) and that no failure
# was logged; prints the latency median and 99th percentile.
#
# Usage: multihost-test.sh QG APP [REQUESTS]     (APP: the application program,
#        started as APP --workdir DIR --prefix qg_ and expected to log
#        "answered NAME" once per answer, as qg-echo does)
# Environment: MH_FS (sshfs, the default, or smb), MH_POLL_TIME (the gateway's
#   PollTime, default 50), MH_SSHFS_OPTIONS (default dir_cache=no,direct_io),
#   MH_SSHFS_SINGLE (1, the default: sshfs -s, one thread; 0: sshfs's threads),
#   MH_SMB_OPTIONS (smbnetfs's mount options, default below), MH_SMB_PROTOCOL
#   (NT1, the default, or SMB2/SMB3: libsmbclient cannot open a file for
#   appending over SMB2 and later), MH_PARALLEL (requests in flight at once,
#   default 8).
# Exit status 77 (skipped) where mount namespaces, FUSE or a program the file
# system needs are not available.
set -euo pipefail
# shellcheck source=tools/lib/servers.sh
. "$(dirname "$0")/../../tools/lib/servers.sh"

qg=$(readlink -f "${1:?path of qg}")
app=$(readlink -f "${2:?path of the application}")
requests=${3:-1000}
poll=${MH_POLL_TIME:-50}
fs=${MH_FS:-sshfs}
sshfs_options=${MH_SSHFS_OPTIONS:-dir_cache=no,direct_io}
smb_options=${MH_SMB_OPTIONS:-attr_timeout=0,entry_timeout=0,negative_timeout=0,direct_io}
smb_protocol=${MH_SMB_PROTOCOL:-NT1}
parallel=${MH_PARALLEL:-8}
prefix=qg_

skip() { echo "SKIPPED: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "mount namespaces and FUSE mounts need root"
case $fs in
  sshfs) tools=(sshfs ssh ssh-keygen fusermount3 /usr/sbin/sshd) ;;
  smb) tools=(smbnetfs smbpasswd /usr/sbin/smbd) ;;
  *) echo "MH_FS must be sshfs or smb, not $fs"; exit 2 ;;
esac
for tool in unshare curl "${tools[@]}"; do
  command -v "$tool" >/dev/null || skip "${tool##*/} is not installed (run tools/install-deps)"
done
lighttpd=$(command -v lighttpd || echo /usr/sbin/lighttpd)
[ -x "$lighttpd" ] || skip "lighttpd is not installed (run tools/install-deps)"
[ -c /dev/fuse ] || skip "no /dev/fuse: FUSE is not available here"
unshare -m --propagation private true 2>/dev/null || skip "unshare -m is not permitted here"

scratch=$(mktemp -d)
chmod 755 "$scratch"
work=$scratch/work # the application host's directory; every host sees it at this path
mkdir -p "$work" "$scratch/out"
pids=()

cleanup() {
  local i
  # Hosts first (each unmounts on SIGTERM), then the applications, sshd last.
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do stop_pid "${pids[i]}"; done
  rm -rf -- "${scratch:?}"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
die() { echo "FAIL: $*"; exit 1; }


# ---------------------------------------------------------------- server
if [ "$fs" = sshfs ]; then # ---- sshd, with key authentication
sshd=/usr/sbin/sshd
mkdir -p "$scratch/ssh"
ssh-keygen -q -t ed25519 -N '' -f "$scratch/ssh/host_key"
ssh-keygen -q -t ed25519 -N '' -f "$scratch/ssh/user_key"
cp "$scratch/ssh/user_key.pub" "$scratch/ssh/authorized_keys"
start_sshd() { # PORT
  cat >"$scratch/ssh/sshd_config" <<EOF
ListenAddress 127.0.0.1
Port $1
HostKey $scratch/ssh/host_key
PidFile $scratch/ssh/sshd.pid
AuthorizedKeysFile $scratch/ssh/authorized_keys
AuthenticationMethods publickey
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
UsePAM no
StrictModes no
MaxStartups 20
Subsystem sftp internal-sftp
LogLevel ERROR
EOF
  # sshd insists on its privilege-separation directory /run/sshd: it gets one in
  # a private /run of its own mount namespace, leaving the machine's /run alone.
  unshare -m --propagation private -- bash -c \
    'mount -t tmpfs -o mode=0755 qg-sshd /run && mkdir -m 0755 /run/sshd && exec "$1" -D -e -f "$2"' \
    _ "$sshd" "$scratch/ssh/sshd_config" </dev/null >"$scratch/sshd.log" 2>&1 &
  pids+=($!)
}
ssh_ready() {
  ssh -o "IdentityFile=$scratch/ssh/user_key" -o "Port=$ssh_port" -o StrictHostKeyChecking=no \
    -o UserKnownHostsFile=/dev/null -o BatchMode=yes -o LogLevel=ERROR root@127.0.0.1 true </dev/null >/dev/null 2>&1
}
# A port found free may be taken before sshd binds it: then another one.
for ((attempt = 0; ; attempt++)); do
  ssh_port=$(free_port) || die "no free port for sshd"
  start_sshd "$ssh_port"
  wait_until 15 ssh_ready && break
  kill -0 "${pids[-1]}" 2>/dev/null && die "sshd on port $ssh_port does not take the key: $(cat "$scratch/sshd.log")"
  wait "${pids[-1]}" 2>/dev/null || true
  unset 'pids[-1]'
  grep -q 'Address already in use' "$scratch/sshd.log" && [ "$attempt" -lt 10 ] ||
    die "sshd did not start: $(cat "$scratch/sshd.log")"
done
source_path=root@127.0.0.1:$work
fs_options="$sshfs_options,IdentityFile=$scratch/ssh/user_key,Port=$ssh_port"
fs_options+=",StrictHostKeyChecking=no,UserKnownHostsFile=/dev/null,BatchMode=yes,LogLevel=ERROR"
server="sshd on 127.0.0.1:$ssh_port, sshfs $([ "${MH_SSHFS_SINGLE:-1}" != 1 ] || echo "-s ")-o $sshfs_options"
else # ---- smbd
# smbd with a configuration, password database and state of its own, root as
# the share's one user; smbnetfs on each host reaches it as 127.0.0.1:PORT
# through a libsmbclient configuration of its own (HOME/.smb). Oplocks and
# leases are off: a client may then cache nothing of a file another host
# changes.
smb=$scratch/smb
mkdir -p "$smb"/{private,lock,state,cache,pid,ncalrpc,home/.smb} "$scratch/smbnet"
smb_password=$RANDOM$RANDOM$RANDOM
start_smbd() { # PORT
  cat >"$smb/smb.conf" <<EOF
[global]
  server role = standalone server
  interfaces = 127.0.0.1
  bind interfaces only = yes
  smb ports = $1
  disable netbios = yes
  private dir = $smb/private
  lock directory = $smb/lock
  state directory = $smb/state
  cache directory = $smb/cache
  pid directory = $smb/pid
  ncalrpc dir = $smb/ncalrpc
  log level = 1
  passdb backend = tdbsam:$smb/private/passdb.tdb
  map to guest = never
  server min protocol = $smb_protocol
  load printers = no
  printing = bsd
  printcap name = /dev/null
  disable spoolss = yes
[work]
  path = $work
  read only = no
  valid users = root
  oplocks = no
  level2 oplocks = no
  smb2 leases = no
  case sensitive = yes
  preserve case = yes
  short preserve case = yes
  store dos attributes = no
  map archive = no
EOF
  # -l: its log folder from the start, before it reads the configuration. A
  # process group of its own: smbd signals its whole group when it stops.
  /usr/sbin/smbd --foreground -l "$smb" -s "$smb/smb.conf" </dev/null >"$scratch/smbd.log" 2>&1 &
  pids+=($!)
}
smbd_ready() { kill -0 "${pids[-1]}" 2>/dev/null && port_in_use "$smb_port"; }
for ((attempt = 0; ; attempt++)); do
  smb_port=$(free_port) || die "no free port for smbd"
  start_smbd "$smb_port"
  wait_until 15 smbd_ready && break
  kill -0 "${pids[-1]}" 2>/dev/null && die "smbd on port $smb_port does not listen: $(cat "$scratch/smbd.log" "$smb/log.smbd" 2>/dev/null)"
  wait "${pids[-1]}" 2>/dev/null || true
  unset 'pids[-1]'
  [ "$attempt" -lt 10 ] || die "smbd did not start: $(cat "$scratch/smbd.log" "$smb/log.smbd" 2>/dev/null)"
done
printf '%s\n%s\n' "$smb_password" "$smb_password" | smbpasswd -c "$smb/smb.conf" -s -a root >/dev/null ||
  die "smbpasswd could not add root to the private password database"
printf '[global]\n  disable netbios = yes\n  client min protocol = %s\n  client max protocol = %s\n' \
  "$smb_protocol" "$smb_protocol" >"$smb/home/.smb/smb.conf"
cat >"$smb/home/.smb/smbnetfs.conf" <<EOF
smb_query_browsers "false"
use_libsecret "false"
stat_workaround_enable_default_entries "false"
stat_workaround_depth 0
auth "root" "$smb_password"
EOF
chmod 600 "$smb/home/.smb/smbnetfs.conf"
source_path=127.0.0.1:$smb_port/work
fs_options=$smb_options
server="smbd on 127.0.0.1:$smb_port ($smb_protocol), smbnetfs -o $smb_options"
fi # ---- server

# ---------------------------------------------------------------- hosts
# A host: COMMAND runs in a private mount namespace that mounts the work
# directory over sshfs at its own path; SIGTERM stops COMMAND and unmounts.
cat >"$scratch/host.sh" <<'EOF'
fs=$1 work=$2 source=$3 options=$4 single=$5 scratch=$6
shift 6
case $fs in
  sshfs)
    if [ "$single" = 1 ]; then
      sshfs -s -o "$options" "$source" "$work" || exit 1
    else
      sshfs -o "$options" "$source" "$work" || exit 1
    fi
    ;;
  smb)
    # smbnetfs shows every server's shares under its mount point: the share's
    # folder is then bound onto the work directory's path.
    net=$scratch/smbnet
    HOME=$scratch/smb/home smbnetfs "$net" -f -o "$options" </dev/null &
    net_pid=$!
    for ((i = 0; i < 100; i++)); do
      [ -d "$net/$source" ] && break
      kill -0 "$net_pid" 2>/dev/null || exit 1
      sleep 0.1
    done
    mount --bind "$net/$source" "$work" || { umount "$net"; kill "$net_pid"; exit 1; }
    ;;
esac
mountpoint -q "$work" || exit 1
"$@" &
child=$!
trap 'kill -TERM "$child" 2>/dev/null' TERM INT
wait "$child"
wait "$child"
case $fs in
  sshfs) fusermount3 -u "$work" || umount -l "$work" ;;
  smb)
    umount "$work" || umount -l "$work"
    umount "$net" || umount -l "$net"
    wait "$net_pid"
    ;;
esac
EOF
start_host() { # LOG COMMAND...
  local log=$1
  shift
  unshare -m --propagation private -- bash "$scratch/host.sh" "$fs" "$work" "$source_path" "$fs_options" \
    "${MH_SSHFS_SINGLE:-1}" "$scratch" "$@" </dev/null >"$log" 2>&1 &
  pids+=($!)
}

# The application: one instance here on the application host, one on a second
# application host through the network file system.
start_app() { # NAME [HOST]
  local log=$scratch/$1.log
  if [ "${2:-}" = host ]; then
    start_host "$log" "$app" --workdir "$work/" --prefix "$prefix"
  else
    "$app" --workdir "$work/" --prefix "$prefix" </dev/null >"$log" 2>&1 &
    pids+=($!)
  fi
  wait_until 20 grep -qs 'watching' "$log" || die "$1 did not start: $(cat "$log")"
}
start_app app1
start_app app2 host

# Web hosts: a private lighttpd each, running qg with Path on the shared path.
start_web() { # NAME
  local dir=$scratch/$1 port token i
  mkdir -p "$dir/cgi-bin" "$dir/www" "$dir/upload"
  cp -p "$qg" "$dir/cgi-bin/qg"
  printf '[zrcgi]\nPath=%s/\nTimeout=30\nPollTime=%s\nTemplate=%s\n' "$work" "$poll" "$prefix" >"$dir/cgi-bin/qg.ini"
  token=$1-$RANDOM
  printf '%s' "$token" >"$dir/www/index.html"
  for ((i = 0; i < 10; i++)); do
    port=$(free_port) || die "no free port for $1"
    {
      lighttpd_config "$port" "$dir/www" "$dir/cgi-bin" "$dir/error.log" "$dir/upload"
      echo 'server.max-connections = 256'
      echo "cgi.assign = ( \"$dir/cgi-bin/qg\" => \"\" )"
    } >"$dir/lighttpd.conf"
    start_host "$dir/host.log" "$lighttpd" -D -f "$dir/lighttpd.conf"
    if wait_until 15 page_is "http://127.0.0.1:$port/" "$token"; then
      echo "http://127.0.0.1:$port/cgi-bin/qg" >"$dir/url"
      return 0
    fi
    stop_pid "${pids[-1]}"
    unset 'pids[-1]'
  done
  die "$1 did not come up: $(cat "$dir/host.log" "$dir/error.log" 2>/dev/null)"
}
start_web web1
start_web web2
urls=("$(cat "$scratch/web1/url")" "$(cat "$scratch/web2/url")")
echo "multihost: $server, PollTime=$poll," \
  "web hosts ${urls[*]}, application $app"

# ---------------------------------------------------------------- load
# Every request carries its own id, alternately to either web host, a POST
# every third one; PARALLEL at a time, bounded in time.
for ((i = 1; i <= requests; i++)); do
  printf '%s r%dz %d %s\n' "${urls[i % 2]}" "$i" $((i % 3 == 0)) "$scratch/out"
done >"$scratch/plan"
cat >"$scratch/one.sh" <<'EOF'
url=$1 id=$2 post=$3 out=$4 extra=${5:-}
args=(-s --max-time 60 -o "$out/$id.body" -w '%{http_code} %{time_total}\n')
[ "$post" = 0 ] || args+=(--data-binary "field=$id")
curl "${args[@]}" "$url?id=$id$extra" >"$out/$id.status" || echo "curl-failed 0" >"$out/$id.status"
EOF
started=$SECONDS
timeout 500 xargs -P "$parallel" -L 1 bash "$scratch/one.sh" <"$scratch/plan" || fail "the load did not end within 500 s"
elapsed=$((SECONDS - started))

# ---------------------------------------------------------------- checks
# Each answer: status 200, its own id in the query and no other request's id,
# and a POST's field.
bad=0
for ((i = 1; i <= requests; i++)); do
  id=r${i}z
  read -r code _ <"$scratch/out/$id.status" || code=none
  body=$scratch/out/$id.body
  if [ "$code" != 200 ] || ! grep -qF "Query: <b>id=$id</b>" "$body" ||
     [ "$(grep -o 'r[0-9]*z' "$body" | sort -u)" != "$id" ] ||
     { ((i % 3 == 0)) && ! grep -qF "<th>field</th><td>$id</td>" "$body"; }; then
    ((bad < 5)) && fail "request $id: status $code, answer: $(head -c 600 "$body" 2>/dev/null | tr '\n' ' ')"
    bad=$((bad + 1))
  fi
done
[ "$bad" -eq 0 ] || fail "$bad of $requests requests were not answered right"

# Answered once: the two instances' answers add up to the requests, no more.
answered=$(cat "$scratch/app1.log" "$scratch/app2.log" | grep -c 'answered ' || true)
[ "$answered" -eq "$requests" ] ||
  fail "the applications answered $answered times for $requests requests" \
    "(app1: $(grep -c 'answered ' "$scratch/app1.log" || true), app2: $(grep -c 'answered ' "$scratch/app2.log" || true))"

# Nothing left, seen on the application host itself: hidden files count.
# A running application built on the application library keeps its claims
# folder with one liveness file per process; a claim left there is a leak.
leftovers() {
  find "$work" -mindepth 1 ! -name zrCGIErr.txt ! -path "$work/claims" ! -path "$work/claims/*.live" -print
}
workdir_clean() { [ -z "$(leftovers)" ]; }
# Who still holds a file of the work directory open (a FUSE mount keeps a file
# deleted while open as .fuse_hidden*): named when something is left.
holders() {
  local fd target
  for fd in /proc/[0-9]*/fd/*; do
    target=$(readlink "$fd" 2>/dev/null) || continue
    [[ $target == "$work/"* ]] || continue
    fd=${fd#/proc/}
    echo "${fd%%/*} ($(cat "/proc/${fd%%/*}/comm" 2>/dev/null)): ${target#"$work/"}"
  done | head -n 20 | tr '\n' ' '
}
wait_until 10 workdir_clean ||
  fail "left in the work directory: $(leftovers | sed "s|$work/||" | head -n 20 | tr '\n' ' '); held open: $(holders)"
[ ! -e "$work/zrCGIErr.txt" ] || fail "failures logged: $(head -n 20 "$work/zrCGIErr.txt")"
rm -f -- "$work/zrCGIErr.txt"

# Time-outs on both web hosts at once: every gateway appends its line to the
# one error log through its own mount, and each line must land whole.
slow=20
for web in web1 web2; do sed -i 's/^Timeout=.*/Timeout=1/' "$scratch/$web/cgi-bin/qg.ini"; done
for ((i = 1; i <= 2 * slow; i++)); do
  printf '%s s%dz 0 %s &qg_sleep=3000\n' "${urls[i % 2]}" "$i" "$scratch/out"
done >"$scratch/plan-slow"
timeout 120 xargs -P $((2 * slow)) -L 1 bash "$scratch/one.sh" <"$scratch/plan-slow" || fail "the time-outs did not end within 120 s"
timed_out=$(grep -l '<title>Request Timed Out</title>' "$scratch"/out/s*z.body 2>/dev/null | wc -l)
[ "$timed_out" -eq $((2 * slow)) ] || fail "$timed_out of $((2 * slow)) slow requests got the time-out page;" \
  "another answer: $(grep -L '<title>Request Timed Out</title>' "$scratch"/out/s*z.body | head -n 1 | xargs -r head -c 600)"
log_lines=$(wc -l <"$work/zrCGIErr.txt" 2>/dev/null || echo 0)
whole=$(grep -Ec $'^[0-9]{2}/[0-9]{2}/[0-9]{4} [0-9]{2}:[0-9]{2}   Request timed out\\.\\.\\. - -?[0-9]+\r$' \
  "$work/zrCGIErr.txt" 2>/dev/null || true)
[ "$log_lines" -eq $((2 * slow)) ] && [ "$whole" -eq $((2 * slow)) ] ||
  fail "error log after $((2 * slow)) time-outs: $log_lines lines, $whole whole: $(head -c 2000 "$work/zrCGIErr.txt" | cat -A)"
# The late answers find their requests gone and leave nothing.
wait_until 20 workdir_clean || fail "left after the time-outs: $(leftovers | sed "s|$work/||" | head -n 20 | tr '\n' ' ')"

# Latency of the requests that came back.
awk '$1 == 200 {print $2 * 1000}' "$scratch"/out/r*z.status | sort -n >"$scratch/latency"
n=$(wc -l <"$scratch/latency")
if [ "$n" -gt 0 ]; then
  median=$(sed -n "$(((n + 1) / 2))p" "$scratch/latency")
  p99=$(sed -n "$(((n * 99 + 99) / 100))p" "$scratch/latency")
  printf 'multihost: %d requests in %d s (%d at a time): latency median %.0f ms, p99 %.0f ms (PollTime=%s)\n' \
    "$requests" "$elapsed" "$parallel" "$median" "$p99" "$poll"
fi
for f in "$scratch"/app*.log "$scratch"/web*/host.log "$scratch"/web*/error.log; do
  [ -f "$f" ] || continue
  ! grep -Eq 'Sanitizer|runtime error:' "$f" || fail "sanitizer report in $f"
done

if [ "$failures" -gt 0 ]; then
  for f in "$scratch"/app*.log; do
    echo "--- ${f##*/}, other than answers:"
    grep -v 'answered ' "$f" | tail -n 20
  done
  for f in "$scratch"/web*/host.log; do
    [ -s "$f" ] || continue
    echo "--- ${f#"$scratch/"}:"
    tail -n 20 "$f"
  done
  echo "$failures check(s) failed"
  exit 1
fi
echo "multihost passed"
