#!/usr/bin/env bash
# A throw-away nginx serving a directory on loopback, for the demo, the
# integration tests and the benchmarks.
#   nginx-mirror.sh start <root-dir> <state-dir> [rate]   prints the port; with a
#       rate (nginx's limit_rate, e.g. 200k) every response is throttled to it
#   nginx-mirror.sh stop <state-dir>
# It listens on $BRELVANE_MIRROR_IP (default 127.0.0.1).  The access log
# (<state-dir>/access.log) has one line per request:
#   <uri> <status> <body bytes sent> "<Range header>" <client address>
set -euo pipefail

cmd="${1:-}"
case "$cmd" in
  start)
    root="$(cd "$2" && pwd)"
    state="$(mkdir -p "$3" && cd "$3" && pwd)"
    limit=""
    [ -n "${4:-}" ] && limit="limit_rate $4;"
    nginx_bin="$(command -v nginx || echo /usr/sbin/nginx)"
    ip="${BRELVANE_MIRROR_IP:-127.0.0.1}"
    port="$(python3 -c 'import socket,sys; s=socket.socket(); s.bind((sys.argv[1],0)); print(s.getsockname()[1])' "$ip")"
    user_line=""
    [ "$(id -u)" -eq 0 ] && user_line="user root;"
    mkdir -p "$state/tmp"
    cat > "$state/nginx.conf" <<CONF
$user_line
worker_processes 2;
daemon on;
pid $state/nginx.pid;
error_log $state/error.log warn;
events { worker_connections 1024; }
http {
  log_format brelvane '\$request_uri \$status \$body_bytes_sent "\$http_range" \$remote_addr';
  access_log $state/access.log brelvane;
  client_body_temp_path $state/tmp/body;
  proxy_temp_path $state/tmp/proxy;
  fastcgi_temp_path $state/tmp/fastcgi;
  uwsgi_temp_path $state/tmp/uwsgi;
  scgi_temp_path $state/tmp/scgi;
  sendfile on;
  keepalive_requests 100000;
  keepalive_timeout 60s;
  types { application/octet-stream bin; }
  default_type application/octet-stream;
  server {
    listen $ip:$port;
    root $root;
    location / { $limit }
  }
}
CONF
    "$nginx_bin" -p "$state" -c "$state/nginx.conf" -e "$state/error.log" 2>>"$state/error.log" \
      || { cat "$state/error.log" >&2; exit 1; }
    # Wait until it answers.
    for _ in $(seq 1 100); do
      if python3 -c "import socket,sys; socket.create_connection(('$ip',$port),0.2)" 2>/dev/null; then
        echo "$port" > "$state/port"
        echo "$port"
        exit 0
      fi
      sleep 0.05
    done
    echo "nginx did not start on $ip:$port" >&2
    cat "$state/error.log" >&2
    exit 1
    ;;
  stop)
    state="$2"
    if [ -f "$state/nginx.pid" ]; then
      pid="$(cat "$state/nginx.pid")"
      kill -QUIT "$pid" 2>/dev/null || true
      for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
      kill -KILL "$pid" 2>/dev/null || true
    fi
    ;;
  *)
    echo "usage: $0 start <root-dir> <state-dir> [rate] | stop <state-dir>" >&2
    exit 2
    ;;
esac
