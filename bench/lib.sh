# Shared by the bench scripts: the release build they measure, installing their tools, medians,
# the load average, and stopping what a script started (by its PID only). ROOT, JOBS, quietly and
# as_root are the build scripts' (scripts/lib.sh).
# shellcheck shell=bash

BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$BENCH_DIR/../scripts/lib.sh"
BENCH_BUILD="$ROOT/build/bench-release"
BINARY="$BENCH_BUILD/apps/quillon_market_radar/quillon_market_radar"

# PIDs of the processes this script started; stopped on exit, each by its own PID.
STARTED_PIDS=()

stop_started() {
  local pid
  for pid in "${STARTED_PIDS[@]+"${STARTED_PIDS[@]}"}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${STARTED_PIDS[@]+"${STARTED_PIDS[@]}"}"; do
    wait "$pid" 2>/dev/null || true
  done
  STARTED_PIDS=()
}
trap stop_started EXIT

# Installs the Debian packages that are missing (through sudo when not root).
install_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  as_root apt-get update -qq
  as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Builds the release program into the bench's own build directory.
build_release() {
  quietly cmake -S "$ROOT" -B "$BENCH_BUILD" -DCMAKE_BUILD_TYPE=Release -DQMR_BUILD_TESTS=OFF
  quietly cmake --build "$BENCH_BUILD" -j "$JOBS" --target quillon_market_radar
}

# Installs the peer's npm packages (bench/peer), pinned by its committed lockfile, when they are
# missing or the lockfile changed since.
install_peer_packages() {
  local peer="$BENCH_DIR/peer"
  local stamp="$peer/node_modules/.lock-stamp"
  if [[ ! -f $stamp ]] || ! cmp -s "$stamp" "$peer/package-lock.json"; then
    (cd "$peer" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
    cp "$peer/package-lock.json" "$stamp"
  fi
}

# Prints the median of the numbers on standard input, one a line.
median() {
  sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) { print "nan"; exit }
    if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# Prints a / b with two decimals.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }

# Prints the 1-, 5- and 15-minute load averages.
load_average() { cut -d' ' -f1-3 /proc/loadavg; }

# Prints the machine in one line: cores, kernel, load.
machine_line() {
  echo "machine: $(nproc) cores, $(uname -sr), load average $(load_average)"
}

# Prints the peak resident set of a running process in MB (VmHWM).
peak_rss_mb() {
  awk '/^VmHWM:/ { printf "%.1f", $2 / 1024 }' "/proc/$1/status"
}

# Prints a port on 127.0.0.1 that nothing listens on, from the range 20000-29999.
free_port() {
  local port tries
  for ((tries = 0; tries < 100; tries++)); do
    port=$((20000 + RANDOM % 10000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      echo "$port"
      return 0
    fi
  done
  echo "no free port found" >&2
  return 1
}

# Waits up to five seconds until something accepts connections on 127.0.0.1:$1.
wait_for_port() {
  local tries
  for ((tries = 0; tries < 100; tries++)); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.05
  done
  echo "nothing listens on 127.0.0.1:$1" >&2
  return 1
}

# Writes an Amazon All Listings report of $1 rows: distinct ASINs and SKUs, titles of 30-40
# characters, prices with and without thousands separators.
amazon_report() {
  awk -v n="$1" 'BEGIN {
    OFS = "\t"
    print "item-name", "item-description", "listing-id", "seller-sku", "price", "quantity",
      "open-date", "image-url", "item-is-marketplace", "product-id-type", "zshop-shipping-fee",
      "item-note", "item-condition", "zshop-category1", "zshop-browse-path",
      "zshop-storefront-feature", "asin1", "asin2", "asin3", "will-ship-internationally",
      "expedited-shipping", "zshop-boldface", "product-id", "bid-for-featured-placement",
      "add-delete", "pending-quantity", "fulfillment-channel", "merchant-shipping-group", "status"
    split("Steel Bottle,Cotton Kurta,Desk Lamp,Phone Case,Yoga Mat,Tea Kettle,Running Shoes,Backpack", names, ",")
    for (i = 1; i <= n; i++) {
      p = 99 + (i * 7919) % 150000
      price = (i % 3 || p < 1000) ? sprintf("%d.%02d", p, i % 100) : sprintf("%d,%03d.00", int(p / 1000), p % 1000)
      asin = sprintf("B0%08X", i)
      print names[i % 8 + 1] " " i " - Size " i % 12 ", Pack of " i % 5 + 1, "",
        sprintf("%010dAB", i), sprintf("SKU-%07d", i), price, i % 40, "2025-11-02 10:00:00 IST", "",
        "y", "1", "", "", "11", "", "", "", asin, "", "", "", "", "", asin, "", "", "",
        "DEFAULT", "Migrated Template", "Active"
    }
  }'
}

# Writes our competitor-prices template with $1 rows: an ASIN a row, on both platforms by turns.
competitor_prices() {
  awk -v n="$1" 'BEGIN {
    print "sku_asin,platform,competitor_price_inr,observed_at"
    for (i = 1; i <= n; i++) {
      printf "B0%08X,%s,\"%d,%03d.00\",2026-12-%02d\n", i, (i % 2 ? "Amazon.in" : "Flipkart"),
        1 + i % 99, i % 1000, 1 + i % 28
    }
  }'
}
