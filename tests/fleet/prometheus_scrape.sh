#!/usr/bin/env bash
# A real Prometheus server scrapes a metrics page every second: the page passes
# `promtool check metrics`, and Prometheus's query API shows its humidity series. The page and
# Prometheus listen on free ports of 127.0.0.1 only; both are stopped at the end.
#
# Usage: prometheus_scrape.sh [--expect VALUE] -- COMMAND [ARG...]
#   COMMAND serves the page; each "@PORT@" in its arguments becomes the page's port, e.g.
#     prometheus_scrape.sh -- hq3746ctl serve --simulate --metrics 127.0.0.1:@PORT@
#   --expect VALUE: a humidity series must show this value (for a page of fixed values).
# Exit: 0 passed, 1 failed, 77 skipped (prometheus or promtool missing; a failure when CI=true).
# The HTTP client is bash's /dev/tcp, speaking HTTP/1.0.
set -uo pipefail

expect=""
while [ $# -gt 0 ]; do
    case $1 in
    --expect) expect=${2:-}; shift 2 ;;
    --) shift; break ;;
    *) echo "usage: $0 [--expect VALUE] -- COMMAND [ARG...]" >&2; exit 1 ;;
    esac
done
[ $# -gt 0 ] || { echo "usage: $0 [--expect VALUE] -- COMMAND [ARG...]" >&2; exit 1; }

missing() {
    if [ "${CI:-}" = true ]; then
        echo "FAIL: $* (the scrape test must run in CI: scripts/deps.sh test installs it)"
        exit 1
    fi
    echo "SKIP: $* (install the prometheus package to run it)"
    exit 77
}
prometheus=$(command -v prometheus || echo /usr/bin/prometheus)
promtool=$(command -v promtool || echo /usr/bin/promtool)
[ -x "$prometheus" ] || missing "prometheus not found"
[ -x "$promtool" ] || missing "promtool not found"

deadline=$((SECONDS + 55))
work=$(mktemp -d)
page_pid="" prom_pid=""

stop() {
    local pid=$1 i
    [ -n "$pid" ] || return 0
    kill "$pid" 2>/dev/null || return 0
    for i in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
}
cleanup() {
    stop "$prom_pid"
    stop "$page_pid"
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    for log in "$work"/*.log; do
        [ -s "$log" ] && { echo "--- $(basename "$log"):"; tail -n 30 "$log"; }
    done
    exit 1
}

# Prints the body of a 200 answer to GET http://127.0.0.1:PORT/TARGET; fails otherwise.
get() {
    local reply
    reply=$(timeout 3 bash -c 'exec 3<>"/dev/tcp/127.0.0.1/$0" || exit 1
        printf "GET %s HTTP/1.0\r\nHost: 127.0.0.1:%s\r\n\r\n" "$1" "$0" >&3
        cat <&3' "$1" "$2" 2>/dev/null) || return 1
    case $reply in "HTTP/1."?" 200 "*) ;; *) return 1 ;; esac
    printf '%s\n' "${reply#*$'\r\n\r\n'}"
}

# A port of 127.0.0.1 nobody listens on (not taken, and not the one given).
free_port() {
    local p i
    for i in $(seq 100); do
        p=$((20000 + RANDOM % 40000))
        [ "$p" = "${1:-}" ] && continue
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
            echo "$p"
            return 0
        fi
    done
    return 1
}

# The page.
page_port=$(free_port) || fail "no free port"
command=()
for a in "$@"; do command+=("${a//@PORT@/$page_port}"); done
"${command[@]}" >"$work/page.log" 2>&1 &
page_pid=$!
page_url="http://127.0.0.1:$page_port/metrics"
# (a live page shows its humidity once the first status record has come)
until get "$page_port" /metrics >"$work/page.txt" &&
    grep -q '^hq3746_humidity_percent{serial="' "$work/page.txt"; do
    kill -0 "$page_pid" 2>/dev/null || fail "the page command ended: ${command[*]}"
    [ $SECONDS -lt $((deadline - 40)) ] || fail "no page with a humidity series at $page_url"
    sleep 0.2
done

if ! "$promtool" check metrics <"$work/page.txt" >"$work/promtool.log" 2>&1; then
    cp "$work/page.txt" "$work/page-text.log"
    fail "promtool check metrics refused the page"
fi
grep -q '^hq3746_humidity_percent{serial="' "$work/page.txt" ||
    fail "no humidity series on the page"

# Prometheus, scraping the page every second.
prom_port=$(free_port "$page_port") || fail "no free port"
cat >"$work/prometheus.yml" <<EOF
global:
  scrape_interval: 1s
  scrape_timeout: 1s
scrape_configs:
  - job_name: hq3746
    static_configs:
      - targets: ['127.0.0.1:$page_port']
EOF
"$prometheus" --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/data" \
    --web.listen-address="127.0.0.1:$prom_port" --log.level=warn >"$work/prometheus.log" 2>&1 &
prom_pid=$!

query="/api/v1/query?query=hq3746_humidity_percent"
while :; do
    kill -0 "$prom_pid" 2>/dev/null || fail "prometheus ended"
    kill -0 "$page_pid" 2>/dev/null || fail "the page command ended"
    if result=$(get "$prom_port" "$query") &&
        grep -q '"__name__":"hq3746_humidity_percent"' <<<"$result" &&
        grep -q '"serial":"' <<<"$result" &&
        { [ -z "$expect" ] || grep -qF "\"$expect\"]" <<<"$result"; }; then
        break
    fi
    [ $SECONDS -lt $deadline ] || fail "the query API shows no humidity${expect:+ of $expect}: ${result:-}"
    sleep 0.5
done
echo "PASS: Prometheus on 127.0.0.1:$prom_port scraped $page_url: $result"
exit 0
