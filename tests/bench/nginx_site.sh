# nginx serving a folder on 127.0.0.1 for the benchmarks, on a free port found by trying.
#
#   start_nginx ROOT PROBE_PATH PREFIX
#
# serves ROOT, with its configuration, pid and error log in the folder PREFIX, and sets PORT
# and NGINX_PID once PROBE_PATH answers.
# The caller stops it (kill -TERM "$NGINX_PID") when it ends. Needs nginx and curl.
NGINX=${NGINX:-/usr/sbin/nginx}

start_nginx() {
    local root=$1 probe=$2 prefix=$3 port
    mkdir -p "$prefix"
    for attempt in 1 2 3 4 5 6 7 8 9 10; do
        port=$((20000 + RANDOM % 30000))
        {
            [[ $(id -u) == 0 ]] && echo "user root;"
            cat <<EOF
daemon off;
master_process on;
worker_processes 1;
pid $prefix/nginx.pid;
error_log $prefix/error.log;
events { worker_connections 256; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  keepalive_requests 100000;
  default_type application/octet-stream;
  client_body_temp_path $prefix/body;
  proxy_temp_path $prefix/proxy;
  fastcgi_temp_path $prefix/fastcgi;
  uwsgi_temp_path $prefix/uwsgi;
  scgi_temp_path $prefix/scgi;
  server {
    listen 127.0.0.1:$port;
    root $root;
  }
}
EOF
        } >"$prefix/nginx.conf"
        "$NGINX" -p "$prefix/" -c "$prefix/nginx.conf" -e "$prefix/error.log" >/dev/null 2>&1 &
        NGINX_PID=$!
        for _ in $(seq 100); do
            if curl -sf -o /dev/null "http://127.0.0.1:$port/$probe"; then
                PORT=$port
                return 0
            fi
            kill -0 "$NGINX_PID" 2>/dev/null || break  # the port was taken: try another
            sleep 0.05
        done
        kill -TERM "$NGINX_PID" 2>/dev/null || true
        wait "$NGINX_PID" 2>/dev/null || true
        NGINX_PID=
    done
    echo "nginx did not start; see $prefix/error.log" >&2
    exit 1
}
