#!/usr/bin/env bash
# The position server beside nginx, in one run on this machine:
#   - "/pos.xml" with "Connection: close" at 1, 16 and 64 concurrent clients, from our server and
#     from nginx serving the same bytes as a static file (requests/s and p99 latency);
#   - intake: multipart position posts to "/onclientpos" at 16 clients (stored posts/s).
# Needs wrk and nginx (apt-get install wrk nginx); nginx runs with its own configuration on a free
# loopback port and must be started as root. Builds a Release tree in build/rel-httpd.
# Usage: bench/httpd/compare-httpd.sh [SECONDS_PER_RUN]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
seconds="${1:-10}"
build=build/rel-httpd

for tool in wrk nginx curl; do
  command -v "$tool" >/dev/null 2>&1 || { echo "$tool is not installed (apt-get install $tool)"; exit 1; }
done
[ "$(id -u)" = 0 ] || { echo "run as root: nginx is started with its own configuration"; exit 1; }

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DGEOMUXER_SANITIZE=OFF \
  -DGEOMUXER_BUILD_TESTS=OFF -DGEOMUXER_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target httpd_bench_server -j2 >/dev/null

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
work=$(mktemp -d)
ours_pid=""; nginx_pid=""
cleanup() {
  [ -n "$ours_pid" ] && kill "$ours_pid" 2>/dev/null || true
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

ours_port=$(free_port)
"$build/bench/httpd/httpd_bench_server" "$ours_port" >"$work/ours.out" 2>"$work/ours.err" &
ours_pid=$!
for _ in $(seq 50); do grep -q listening "$work/ours.out" 2>/dev/null && break; sleep 0.1; done

# nginx serves exactly the bytes our server sends.
mkdir -p "$work/www" "$work/nginx"
curl -s "http://127.0.0.1:$ours_port/pos.xml" >"$work/www/pos.xml"
nginx_port=$(free_port)
cat >"$work/nginx/nginx.conf" <<CONF
user root;
worker_processes auto;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  types { text/xml xml; }
  server {
    listen 127.0.0.1:$nginx_port backlog=4096;
    root $work/www;
  }
}
CONF
nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" -g 'daemon off;' &
nginx_pid=$!
for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:$nginx_port/pos.xml" && break; sleep 0.1; done
cmp -s <(curl -s "http://127.0.0.1:$nginx_port/pos.xml") "$work/www/pos.xml" || { echo "nginx does not serve the copy"; exit 1; }

# wrk's summary as "requests/s p99-ms non-2xx".
run_wrk() {  # connections url [extra args...]
  local c=$1 url=$2; shift 2
  local t=$(( c < 2 ? c : 2 ))
  wrk -t"$t" -c"$c" -d"${seconds}s" --latency -H 'Connection: close' "$@" "$url" | python3 -c '
import re, sys
text = sys.stdin.read()
rps = float(re.search(r"Requests/sec:\s+([\d.]+)", text).group(1))
m = re.search(r"^\s+99%\s+([\d.]+)(us|ms|s)\s*$", text, re.M)
p99 = float(m.group(1)) * {"us": 0.001, "ms": 1.0, "s": 1000.0}[m.group(2)] if m else float("nan")
bad = re.search(r"Non-2xx or 3xx responses:\s+(\d+)", text)
errors = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", text)
print(f"{rps:.0f} {p99:.2f} {int(bad.group(1)) if bad else 0} {sum(map(int, errors.groups())) if errors else 0}")'
}

printf '\n"/pos.xml", Connection: close, %ss per run\n' "$seconds"
printf '%8s  %12s %9s  %12s %9s  %7s\n' clients "ours req/s" "p99 ms" "nginx req/s" "p99 ms" ratio
for c in 1 16 64; do
  read -r ours_rps ours_p99 ours_bad ours_err < <(run_wrk "$c" "http://127.0.0.1:$ours_port/pos.xml")
  read -r ngx_rps ngx_p99 _ _ < <(run_wrk "$c" "http://127.0.0.1:$nginx_port/pos.xml")
  ratio=$(python3 -c "print(f'{$ours_rps / $ngx_rps:.2f}')")
  printf '%8s  %12s %9s  %12s %9s  %7s' "$c" "$ours_rps" "$ours_p99" "$ngx_rps" "$ngx_p99" "$ratio"
  [ "$ours_bad$ours_err" = 00 ] && echo || echo "   (ours: $ours_bad bad replies, $ours_err socket errors)"
done

printf '\nintake: multipart posts to /onclientpos, 16 clients, %ss\n' "$seconds"
read -r post_rps post_p99 post_bad post_err < <(run_wrk 16 "http://127.0.0.1:$ours_port/onclientpos" -s bench/httpd/intake.lua)
kill "$ours_pid"; wait "$ours_pid" 2>/dev/null || true; ours_pid=""
stored=$(sed -n 's/^stored //p' "$work/ours.out")
printf 'requests/s %s, p99 %s ms, non-2xx %s, socket errors %s, stored %s (%s stored/s)\n' \
  "$post_rps" "$post_p99" "$post_bad" "$post_err" "$stored" "$(python3 -c "print(round(${stored:-0} / $seconds))")"
