#!/usr/bin/env bash
# The main job: the example crawler (examples/crawler.py) gets every page of
# the local demo site (site/serve.py) through `browser-server --engine fetch`
# and the FetchBridge module, then renders every page through
# `browser-server --engine render` (headless Chromium) and RenderBridge, with
# a snapshot of each.
#
#   tools/demo.sh [BUILD_DIR [OUT_DIR]]      defaults: build, out/demo
#
# Page sources go to OUT_DIR/fetch/ and OUT_DIR/render/ (with pages.tsv
# listing them; the render part saves each page's snapshot beside its source
# as .png), the logs of the servers and the site to OUT_DIR/fetch-server.log,
# OUT_DIR/render-server.log and OUT_DIR/site.log. Without Chromium the render
# part is skipped. Leaves no process and no named object behind, also when
# interrupted.
# DEMO_SITE_SLOW=SECONDS makes the site wait that long before each answer.
# Exits non-zero when a crawl failed, a page of the site did not come back, or
# the page built by JavaScript does not show its text only when rendered.
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

rm -rf "$out/fetch" "$out/render"
work="$(mktemp -d)"
: >"$work/site.out"
site_pid="" fetch_pid="" render_pid="" crawler_pid=""

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

# Removes what a stopped server $1 left in /dev/shm (nothing, when it stopped
# in order).
remove_leftovers() {
  local pid="$1" leftovers name
  [ -n "$pid" ] || return 0
  leftovers="$(ls /dev/shm 2>/dev/null | grep -E "^(sem\.)?(Tarv_Browser_${pid}_|Tarv_${pid}_Ticket_)" || true)"
  if [ -n "$leftovers" ]; then
    echo "demo: removing named objects left behind by $pid: $(echo $leftovers)" || true
    for name in $leftovers; do rm -f "/dev/shm/$name"; done
  fi
}

cleanup() {
  local status=$?
  trap - INT TERM EXIT
  trap '' PIPE  # output that is gone must not stop the cleanup
  stop "$crawler_pid"
  stop "$render_pid"  # a render server stops its Chromium with it
  stop "$fetch_pid"
  stop "$site_pid"
  remove_leftovers "$render_pid"
  remove_leftovers "$fetch_pid"
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'echo "demo: interrupted" >&2; exit 130' INT TERM
trap 'exit 141' PIPE  # the output was closed (as by `make demo | head`)

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

# start_server ENGINE WORKERS: starts browser-server, logging to
# OUT_DIR/ENGINE-server.log, and leaves its pid in $started once it accepts
# requests.
start_server() {
  local engine="$1" workers="$2" printed
  : >"$work/$engine.out"
  "$server_bin" --engine "$engine" --workers "$workers" >"$work/$engine.out" 2>"$out/$engine-server.log" &
  started=$!
  printed="$(first_line "$work/$engine.out" "$started")" ||
    fail "browser-server --engine $engine did not start (see $out/$engine-server.log)"
  [ "$printed" = "$started" ] || fail "browser-server printed \"$printed\", not its pid $started"
  echo "demo: browser-server --engine $engine running as $started"
}

# crawl MODULE PID FOLDER [CRAWLER OPTION...]: the whole site through that
# module and server; fails unless every page of the site came back (as the
# page a URL led to).
crawl() {
  local module="$1" pid="$2" pages="$3" crawled=0 missing
  shift 3
  mkdir -p "$pages"
  # In the background so that a signal to this script is taken at once.
  PYTHONPATH="$build/python" "$python" "$root/examples/crawler.py" \
    --module "$module" --pid "$pid" --start "$start" --out "$pages" "$@" &
  crawler_pid=$!
  wait "$crawler_pid" || crawled=$?
  crawler_pid=""
  [ "$crawled" -eq 0 ] || fail "the crawler failed with $module (status $crawled)"
  tail -n +2 "$pages/pages.tsv" | cut -f 2 | sed "s|^http://127.0.0.1:$port||" | sort -u >"$work/got"
  missing="$(comm -23 "$work/expected" "$work/got")"
  [ -z "$missing" ] || fail "pages of the site that did not come back through $module: $(echo $missing)"
  echo "demo: all $(wc -l <"$work/expected") pages of the site came back through $module; sources in $pages"
}

site_args=()
[ -z "${DEMO_SITE_SLOW:-}" ] || site_args=(--slow "$DEMO_SITE_SLOW")
"$python" "$root/site/serve.py" "${site_args[@]}" >"$work/site.out" 2>"$out/site.log" &
site_pid=$!
port="$(first_line "$work/site.out" "$site_pid")" || fail "the site did not start (see $out/site.log)"
start="http://127.0.0.1:$port/"
echo "demo: site at $start"
"$python" "$root/site/serve.py" --list | sort >"$work/expected"

start_server fetch 4
fetch_pid=$started
crawl FetchBridge "$fetch_pid" "$out/fetch" --threads 4

chromium="${TARV_CHROMIUM:-}"
for candidate in /usr/lib/chromium/chromium /usr/bin/chromium; do
  [ -n "$chromium" ] || [ ! -x "$candidate" ] || chromium="$candidate"
done
if [ -z "$chromium" ]; then
  echo "demo: Chromium is not installed (no /usr/lib/chromium/chromium, no /usr/bin/chromium):" \
    "skipping the render part (tools/install-deps.sh installs it)"
  exit 0
fi
[ -e "$build/python/RenderBridge.so" ] || fail "no $build/python/RenderBridge.so: build first (make build)"

start_server render 2
render_pid=$started
crawl RenderBridge "$render_pid" "$out/render" --threads 2 --snapshots

# The text of /js is put in by its script: only the rendered source has it.
built="id=\"content\">$(cd "$root/site" && "$python" -B -c 'import serve; print(serve.JS_TEXT)')<"
grep -qF "$built" "$out/render/js.html" || fail "the rendered /js lacks its text built by JavaScript"
! grep -qF "$built" "$out/fetch/js.html" || fail "the fetched /js has text that only JavaScript builds"
echo "demo: /js shows its text built by JavaScript only when rendered: $out/render/js.html has it, $out/fetch/js.html not"
