#!/bin/bash
# Runs inside every virtual machine, started by its first program from the
# read-only share /qg: brings up the private network from the kernel command
# line (qg.name=NAME qg.ip=ADDRESS), then carries out the test's commands, which
# arrive one a line as "ID COMMAND" on the virtio-serial port "qg.ctl". Each
# command runs in the background with its output in /out/ID.out (the share of
# this machine's own output), and "ID STATUS" goes back on the port when it ends.
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export LD_LIBRARY_PATH=/qg/lib
for word in $(cat /proc/cmdline); do
  case $word in
    qg.name=*) name=${word#qg.name=} ;;
    qg.ip=*) address=${word#qg.ip=} ;;
  esac
done
hostname "$name"
echo "127.0.0.1 localhost $name" >/etc/hosts
modprobe virtio_net
modprobe virtio_console
ip link set lo up
ip link set eth0 up
ip addr add "$address/24" dev eth0

port=
for ((i = 0; i < 100; i++)); do
  for p in /sys/class/virtio-ports/*; do
    [ "$(cat "$p/name" 2>/dev/null)" = qg.ctl ] && port=/dev/${p##*/}
  done
  [ -n "$port" ] && [ -c "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "qg: no control port" >/dev/console; exec sleep infinity; }
exec 3<>"$port"
echo "ready $name" >&3
while :; do
  if ! IFS= read -r line <&3; then
    sleep 0.1
    continue
  fi
  id=${line%% *}
  command=${line#* }
  ( bash -c "$command" </dev/null >"/out/$id.out" 2>&1; echo "$id $?" >&3 ) &
done
