# shellcheck shell=bash
# Ports of 127.0.0.1, for the tools and tests that source this file (bash):
#   . "$repo/tools/lib/ports.sh"
# Ports are drawn at random from 20000-59999, so that scripts running at once
# (other builds' tests on the same machine) seldom draw the same one.

# port_in_use PORT: something accepts connections on 127.0.0.1:PORT.
port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# random_port: prints a port from the range, in use or not.
random_port() { echo $((20000 + (RANDOM * 32768 + RANDOM) % 40000)); }

# free_port: prints a port that nothing listens on now (50 draws at most).
# Another process may take it before the caller binds it: a caller starts its
# server and checks that the server answering is its own (see servers.sh).
free_port() {
  local port i
  for ((i = 0; i < 50; i++)); do
    port=$(random_port)
    port_in_use "$port" || { echo "$port"; return 0; }
  done
  return 1
}
