#!/bin/bash
# The roles of the virtual machines, one function each, run inside a machine by
# the test: bash /qg/roles.sh FUNCTION ARGUMENTS...
#   file server: serve (every export at once: NFS over /export/nfs3 and
#     /export/nfs42, SMB3 as the share "smb3" over /export/smb3), leftovers FS
#   web host:    fs_mount FS, web_start PORT POLL TIMEOUT, web_set KEY VALUE,
#                load PHASE LETTER FIRST COUNT PARALLEL [QUERY]
#   application: fs_mount FS, app_start LOG, app_stop, clock_shift SECONDS
set -euo pipefail
work=/srv/qgwork                    # the work directory's path on every client
server=10.99.0.1
smb_password=qg-vm-test

serve() {
  mkdir -p /export/nfs3 /export/nfs42 /export/smb3 /var/lib/nfs/sm /var/lib/nfs/sm.bak /run/rpcbind
  chmod 0777 /export/*
  mount -t nfsd nfsd /proc/fs/nfsd
  cat >/etc/exports <<EXPORTS
/export/nfs3 10.99.0.0/24(rw,sync,no_subtree_check,no_root_squash,fsid=3)
/export/nfs42 10.99.0.0/24(rw,sync,no_subtree_check,no_root_squash,fsid=42)
EXPORTS
  rpcbind -w
  rpc.statd --no-notify
  exportfs -ra
  rpc.mountd
  rpc.nfsd 8
  mkdir -p /var/log/samba /run/samba /var/lib/samba/private
  cat >/etc/samba/smb.conf <<SMB
[global]
  server role = standalone server
  interfaces = eth0
  bind interfaces only = yes
  disable netbios = yes
  smb ports = 445
  server min protocol = SMB3
  map to guest = never
  load printers = no
  printing = bsd
  printcap name = /dev/null
  disable spoolss = yes
  log level = 1
[smb3]
  path = /export/smb3
  read only = no
  valid users = root
  case sensitive = yes
  preserve case = yes
  short preserve case = yes
  store dos attributes = no
  map archive = no
SMB
  printf '%s\n%s\n' "$smb_password" "$smb_password" | smbpasswd -s -a root >/dev/null
  smbd -D
  for ((i = 0; i < 600; i++)); do
    (exec 3<>"/dev/tcp/$server/445") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "smbd does not listen"
  tail -n 20 /var/log/samba/log.smbd
  return 1
}

# What is left in an export besides the error log and the running
# applications' liveness files: hidden files (.nfs*) count.
leftovers() {
  local dir=/export/$1
  find "$dir" -mindepth 1 ! -name zrCGIErr.txt ! -path "$dir/claims" ! -path "$dir/claims/*.live" -printf '%P\n'
}
errorlog() { cat "/export/$1/zrCGIErr.txt" 2>/dev/null || true; }
clear_errorlog() { rm -f "/export/$1/zrCGIErr.txt"; }

options() { # FS: the mount options under test
  case $1 in
    nfs3) echo "vers=3,lookupcache=none,actimeo=0" ;;
    nfs42) echo "vers=4.2,lookupcache=none,actimeo=0" ;;
    smb3) echo "vers=3.1.1,actimeo=0,username=root,password=$smb_password,uid=0,gid=0,file_mode=0666,dir_mode=0777" ;;
  esac
}

fs_mount() { # FS [OPTIONS]
  local fs=$1 opts=${2:-$(options "$1")}
  mkdir -p "$work"
  case $fs in
    nfs3)
      # Locks (which the gateway's error log takes) go through lockd and statd.
      mkdir -p /var/lib/nfs/sm /var/lib/nfs/sm.bak /run/rpcbind
      pgrep -x rpcbind >/dev/null || rpcbind -w
      pgrep -x rpc.statd >/dev/null || rpc.statd --no-notify
      command mount -t nfs -o "$opts" "$server:/export/nfs3" "$work" ;;
    nfs42) command mount -t nfs -o "$opts" "$server:/export/nfs42" "$work" ;;
    smb3) command mount -t cifs -o "$opts" "//$server/smb3" "$work" ;;
  esac
  grep " $work " /proc/mounts
}
fs_mount_options() { grep " $work " /proc/mounts | cut -d' ' -f3,4; }
unmount() { umount "$work" || umount -l "$work"; }

app_start() { # LOG
  setsid /qg/bin/qg-echo --workdir "$work/" --prefix qg_ </dev/null >>"/out/$1" 2>&1 &
  echo $! >/run/app.pid
  for ((i = 0; i < 200; i++)); do
    grep -qs watching "/out/$1" && return 0
    sleep 0.1
  done
  cat "/out/$1"
  return 1
}
app_stop() {
  local pid
  pid=$(cat /run/app.pid)
  kill -TERM "$pid"
  for ((i = 0; i < 100; i++)); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL "$pid"
}
clock_shift() { date -s "@$(( $(date +%s) + $1 ))" >/dev/null; date -u; }

web_start() { # PORT POLL TIMEOUT
  local dir=/srv/web
  mkdir -p "$dir/cgi-bin" "$dir/www" "$dir/upload"
  cp /qg/bin/qg "$dir/cgi-bin/qg"
  printf '[zrcgi]\nPath=%s/\nTimeout=%s\nPollTime=%s\nTemplate=qg_\n' "$work" "$3" "$2" >"$dir/cgi-bin/qg.ini"
  echo up >"$dir/www/index.html"
  cat >"$dir/lighttpd.conf" <<CONF
server.modules = ( "mod_alias", "mod_cgi" )
server.bind = "127.0.0.1"
server.port = $1
server.document-root = "$dir/www"
server.errorlog = "/out/lighttpd.log"
server.upload-dirs = ( "$dir/upload" )
server.max-connections = 256
index-file.names = ( "index.html" )
mimetype.assign = ( ".html" => "text/html" )
alias.url = ( "/cgi-bin/" => "$dir/cgi-bin/" )
cgi.assign = ( "$dir/cgi-bin/qg" => "" )
CONF
  echo "$1" >/run/web.port
  setsid lighttpd -D -f "$dir/lighttpd.conf" </dev/null >/dev/null 2>&1 &
  for ((i = 0; i < 100; i++)); do
    [ "$(curl -s --max-time 2 "http://127.0.0.1:$1/" 2>/dev/null)" = up ] && return 0
    sleep 0.1
  done
  return 1
}
web_stop() { pkill -x lighttpd || true; }
web_set() { sed -i "s/^$1=.*/$1=$2/" /srv/web/cgi-bin/qg.ini; }

# PHASE LETTER FIRST COUNT PARALLEL [QUERY]: requests LETTER<FIRST>z and
# on, PARALLEL at a time, a POST every third; then one line per request in
# /out/PHASE: "ID STATUS MILLISECONDS right|wrong|timeout".
load() {
  local phase=$1 letter=$2 first=$3 count=$4 parallel=$5 extra=${6:-} port tmp i
  port=$(cat /run/web.port)
  tmp=$(mktemp -d)
  for ((i = first; i < first + count; i++)); do
    printf '%s%dz %d\n' "$letter" "$i" $((i % 3 == 0))
  done >"$tmp/plan"
  cat >"$tmp/one.sh" <<'ONE'
id=$1 post=$2 url=$3 out=$4 extra=$5
args=(-s --max-time 120 -o "$out/$id.body" -w '%{http_code} %{time_total}\n')
[ "$post" = 0 ] || args+=(--data-binary "field=$id")
curl "${args[@]}" "$url?id=$id$extra" >"$out/$id.status" || echo "000 0" >"$out/$id.status"
ONE
  xargs -P "$parallel" -L 1 bash -c 'bash "'"$tmp"'/one.sh" "$0" "$1" "http://127.0.0.1:'"$port"'/cgi-bin/qg" "'"$tmp"'" "'"$extra"'"' \
    <"$tmp/plan"
  while read -r id post; do
    read -r code seconds <"$tmp/$id.status" || code=000
    body=$tmp/$id.body
    verdict=wrong
    if grep -qF '<title>Request Timed Out</title>' "$body" 2>/dev/null; then
      verdict=timeout
    elif [ "$code" = 200 ] && grep -qF "Query: <b>id=$id" "$body" &&
         [ "$(grep -o "$letter[0-9]*z" "$body" | sort -u)" = "$id" ] &&
         { [ "$post" = 0 ] || grep -qF "<th>field</th><td>$id</td>" "$body"; }; then
      verdict=right
    fi
    [ "$verdict" != wrong ] || cp "$body" "/out/$phase.$id.wrong" 2>/dev/null || true
    echo "$id $code $(awk -v s="${seconds:-0}" 'BEGIN { printf "%d", s * 1000 }') $verdict"
  done <"$tmp/plan" >"/out/$phase"
  rm -rf -- "${tmp:?}"
}

"$@"
