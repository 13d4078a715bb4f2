#!/usr/bin/env bash
# The main job: the example crawler (examples/crawler.py) gets every page of
# the local demo site (site/serve.py) through `browser-server --engine fetch`
# and the FetchBridge module.
#
#   tools/demo.sh [BUILD_DIR [OUT_DIR]]      defaults: build, out/demo
#
# Page sources go to OUT_DIR/fetch/ (with pages.tsv listing them), the logs of
# the server and the site to OUT_DIR/fetch-server.log and OUT_DIR/site.log.
# Leaves no process and no named object behind, also when interrupted.
# DEMO_SITE_SLOW=SECONDS makes the site wait that long before each answer.
# Exits non-zero when the crawl failed or a page of the site did not come back.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
mkdir -p "${2:-$root/out/demo}"
out="$(cd "${2:-$root/out/demo}" && pwd)"
python=/usr/bin/python3
server_bin="$build/server/browser-server"

fail() { echo "demo: $*" >&2; exit 1; }
[ -x "$server_bin" ] || fail "no $server_bin: build first (make build)"
[ -e "$build/python/FetchBridge.so" ] || fail "no $build/python/FetchBridge.so: build first (make build)"

pages="$out/fetch"
rm -rf "$pages"
mkdir -p "$pages"
work="$(mktemp -d)"
: >"$work/site.out"
: >"$work/server.out"
site_pid="" server_pid="" crawler_pid=""

# Ends a child: SIGTERM, then SIGKILL if it is still there after a while.
stop() {
  local pid="$1" i
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || true
  for ((i = 0; i < 150; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

cleanup() {
  local status=$? leftovers
  trap - INT TERM EXIT
  stop "$crawler_pid"
  stop "$server_pid"
  stop "$site_pid"
  if [ -n "$server_pid" ]; then
    leftovers="$(ls /dev/shm 2>/dev/null | grep -E "^(sem\.)?(Tarv_Browser_${server_pid}_|Tarv_${server_pid}_Ticket_)" || true)"
    if [ -n "$leftovers" ]; then
      echo "demo: removing named objects left behind: $(echo $leftovers)"
      for name in $leftovers; do rm -f "/dev/shm/$name"; done
    fi
  fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'echo "demo: interrupted" >&2; exit 130' INT TERM

# Prints the first line that process $2 writes to file $1, once it is there.
first_line() {
  local file="$1" pid="$2" i
  for ((i = 0; i < 200; i++)); do
    if [ "$(wc -l <"$file")" -ge 1 ]; then
      head -n 1 "$file"
      return 0
    fi
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.05
  done
  return 1
}

site_args=()
[ -z "${DEMO_SITE_SLOW:-}" ] || site_args=(--slow "$DEMO_SITE_SLOW")
"$python" "$root/site/serve.py" "${site_args[@]}" >"$work/site.out" 2>"$out/site.log" &
site_pid=$!
port="$(first_line "$work/site.out" "$site_pid")" || fail "the site did not start (see $out/site.log)"
start="http://127.0.0.1:$port/"
echo "demo: site at $start"

"$server_bin" --engine fetch --workers 4 >"$work/server.out" 2>"$out/fetch-server.log" &
server_pid=$!
printed="$(first_line "$work/server.out" "$server_pid")" || fail "browser-server did not start (see $out/fetch-server.log)"
[ "$printed" = "$server_pid" ] || fail "browser-server printed \"$printed\", not its pid $server_pid"
echo "demo: browser-server --engine fetch running as $server_pid"

# In the background so that a signal to this script is taken at once.
PYTHONPATH="$build/python" "$python" "$root/examples/crawler.py" \
  --module FetchBridge --pid "$server_pid" --start "$start" --out "$pages" --threads 4 &
crawler_pid=$!
crawled=0
wait "$crawler_pid" || crawled=$?
crawler_pid=""
[ "$crawled" -eq 0 ] || fail "the crawler failed (status $crawled)"

# Every page of the site must have come back (as the page a URL led to).
"$python" "$root/site/serve.py" --list | sort >"$work/expected"
tail -n +2 "$pages/pages.tsv" | cut -f 2 | sed "s|^http://127.0.0.1:$port||" | sort -u >"$work/got"
missing="$(comm -23 "$work/expected" "$work/got")"
[ -z "$missing" ] || fail "pages of the site that did not come back: $(echo $missing)"
echo "demo: all $(wc -l <"$work/expected") pages of the site came back; sources in $pages"
