#!/usr/bin/env bash
# Installs every Debian package the build and the tests need, and the npm packages of the
# end-to-end tests from their lockfile. Idempotent: prints nothing when everything is present.
#   scripts/install-deps.sh [--packaging]
# --packaging adds what building and checking the Debian package needs besides the build:
# lintian, systemd (for systemd-analyze) and man-db (for man -l).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

packages=(
  build-essential cmake pkg-config dpkg-dev help2man
  libasio-dev libcli11-dev nlohmann-json3-dev libicu-dev
  libgtest-dev
  clang-14 libclang-rt-14-dev clang-format-14
  nodejs npm chromium
)
if [[ ${1:-} == --packaging ]]; then
  packages+=(lintian systemd man-db)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done
# A machine may bring its own node and npm outside Debian's packages; those serve as well.
if command -v node >/dev/null 2>&1 && command -v npm >/dev/null 2>&1; then
  filtered=()
  for p in "${missing[@]}"; do
    [[ $p == nodejs || $p == npm ]] || filtered+=("$p")
  done
  missing=("${filtered[@]+"${filtered[@]}"}")
fi

if ((${#missing[@]})); then
  sudo=()
  if [[ $(id -u) -ne 0 ]]; then sudo=(sudo); fi
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The browser and tool-server client tests run on npm packages pinned by the lockfile.
e2e="$root/apps/quillon_market_radar/tests/e2e"
if [[ -f $e2e/package-lock.json ]]; then
  stamp="$e2e/node_modules/.lock-stamp"
  if [[ ! -f $stamp ]] || ! cmp -s "$stamp" "$e2e/package-lock.json"; then
    (cd "$e2e" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
    cp "$e2e/package-lock.json" "$stamp"
  fi
fi
