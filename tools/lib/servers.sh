# shellcheck shell=bash
# Private web servers on 127.0.0.1, for the tools and tests that source this
# file (bash); it sources processes.sh and ports.sh beside it:
#   . "$repo/tools/lib/servers.sh"

# shellcheck source=tools/lib/processes.sh
. "${BASH_SOURCE[0]%/*}/processes.sh"
# shellcheck source=tools/lib/ports.sh
. "${BASH_SOURCE[0]%/*}/ports.sh"

# find_sbin NAME: prints the program's path; Debian installs the servers in
# /usr/sbin, which is not on an ordinary user's PATH. Prints nothing when
# there is none.
find_sbin() { command -v "$1" 2>/dev/null || { [ -x "/usr/sbin/$1" ] && echo "/usr/sbin/$1"; } || true; }

# page_is URL TEXT: the page at URL reads exactly TEXT. A page that names the
# caller's own directory or a random token tells its own server from another
# one that holds the port.
page_is() { [ "$(curl -s --max-time 2 "$1" 2>/dev/null)" = "$2" ]; }

# wait_for_page URL TEXT PID [SECONDS]: waits until page_is URL TEXT; fails
# when process PID (the server) ends first, or after SECONDS (default 10).
wait_for_page() {
  local deadline=$((SECONDS + ${4:-10}))
  until page_is "$1" "$2"; do
    kill -0 "$3" 2>/dev/null || return 1
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.1
  done
}

# start_on_free_port START PATH TEXT [SECONDS]: draws free ports and calls the
# function START PORT, which starts a server on PORT in the background and sets
# server_pid, until http://127.0.0.1:PORT/PATH answers TEXT within SECONDS
# (default 10); a server that does not is stopped and the next port tried.
# Sets server_port and server_pid; fails after 30 ports.
start_on_free_port() {
  local start=$1 path=${2#/} text=$3 seconds=${4:-10} attempt
  for ((attempt = 0; attempt < 30; attempt++)); do
    server_port=$(free_port) || break
    server_pid=""
    "$start" "$server_port"
    wait_for_page "http://127.0.0.1:$server_port/$path" "$text" "$server_pid" "$seconds" && return 0
    stop_pid "$server_pid"
  done
  server_port="" server_pid=""
  return 1
}

# lighttpd_config PORT DOCUMENT_ROOT CGI_DIR ERROR_LOG UPLOAD_DIR: prints a
# lighttpd configuration that serves DOCUMENT_ROOT on 127.0.0.1:PORT, maps
# /cgi-bin/ to CGI_DIR and denies *.ini URLs (the gateway's settings file
# lies beside it). The caller appends its cgi.assign (which programs run as
# CGI programs) and anything else it needs, such as a fastcgi.server.
lighttpd_config() {
  cat <<CONF
server.modules = ( "mod_access", "mod_alias", "mod_cgi" )
server.bind = "127.0.0.1"
server.port = $1
server.document-root = "$2"
server.errorlog = "$4"
server.upload-dirs = ( "$5" )
index-file.names = ( "index.html" )
mimetype.assign = ( ".html" => "text/html" )
alias.url = ( "/cgi-bin/" => "${3%/}/" )
url.access-deny = ( ".ini", "~" )
CONF
}

# served_scratch: for a test that serves through tools/serve-gateway
# --print-env. Makes the scratch folder $scratch, sets failures=0, and on exit
# stops those servers (QG_STOP, once set) and removes the folder.
served_scratch() {
  scratch=$(mktemp -d)
  # shellcheck disable=SC2034 # counted by the test that calls this
  failures=0
  trap '[ -z "${QG_STOP:-}" ] || eval "$QG_STOP"; rm -rf -- "${scratch:?}"' EXIT
}
