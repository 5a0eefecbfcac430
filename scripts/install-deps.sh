#!/usr/bin/env bash
# Installs every Debian package the build and the tests need, and the npm packages of the
# end-to-end tests and of the conformance suite from their lockfiles. Idempotent: prints nothing
# when everything is present.
#   scripts/install-deps.sh [--packaging] [--release] [--windows]
# --packaging adds what building and checking the Debian package needs besides the build:
# lintian, systemd (for systemd-analyze) and man-db (for man -l).
# --release adds the aarch64 cross compiler, Debian's arm64 libraries (multiarch) and qemu, for
# the stand-alone builds and their tests.
# --windows adds the mingw-w64 cross compiler, Wine (the Windows build's tests) and zip, and
# the source lists of Debian's archive for `apt-get source icu` and `apt-get source sqlite3`
# (scripts/mingw-root.sh builds ICU and SQLite for Windows from them, SQLite's amalgamation with
# tcl): a step that writes a file below /etc/apt, and says so first.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

packaging=false
release=false
windows=false
for option in "$@"; do
  case $option in
    --packaging) packaging=true ;;
    --release) release=true ;;
    --windows) windows=true ;;
    *)
      echo "usage: scripts/install-deps.sh [--packaging] [--release] [--windows]" >&2
      exit 2
      ;;
  esac
done

packages=(
  build-essential cmake pkg-config dpkg-dev help2man
  libasio-dev libcli11-dev nlohmann-json3-dev libicu-dev libsqlite3-dev sqlite3
  libgtest-dev
  clang-14 libclang-rt-14-dev clang-format-14
  nodejs npm chromium
)
if $packaging; then
  packages+=(lintian systemd man-db)
fi

native=$(dpkg --print-architecture)
if $release; then
  packages+=(
    file binutils qemu-user
    g++-aarch64-linux-gnu binutils-aarch64-linux-gnu
    libicu-dev:arm64 libsqlite3-dev:arm64 libgtest-dev:arm64
  )
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    as_root dpkg --add-architecture arm64
  fi
fi
if $windows; then
  packages+=(g++-mingw-w64-x86-64-posix wine64 dpkg-dev zip unzip tcl)
fi

# True when package $1 (NAME or NAME:ARCH) is installed for that architecture, the machine's own
# by default: with arm64 added, `libicu-dev` alone could mean the arm64 one.
installed() {
  local arch=${1#*:}
  [[ $arch != "$1" ]] || arch="($native|all)"
  dpkg-query -W -f='${Status} ${Architecture}\n' "$1" 2>/dev/null |
    grep -qE "^install ok installed $arch\$"
}

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
# A machine may bring its own node and npm outside Debian's packages; those serve as well.
if command -v node >/dev/null 2>&1 && command -v npm >/dev/null 2>&1; then
  filtered=()
  for p in "${missing[@]}"; do
    [[ $p == nodejs || $p == npm ]] || filtered+=("$p")
  done
  missing=("${filtered[@]+"${filtered[@]}"}")
fi

# Adds a deb-src entry beside each deb entry of Debian's own archive, in a list of our own, unless
# a source list is there already; says which file it writes and why before writing it, and sets
# update_needed when it wrote one.
update_needed=false
enable_debian_sources() {
  local lists=/etc/apt/sources.list.d added="" list
  if grep -rqsE '^(deb-src |Types:.*deb-src)' /etc/apt/sources.list "$lists"/*.list "$lists"/*.sources; then
    return 0
  fi
  # One-line lists: "deb URI SUITE COMPONENTS".
  added+=$(sed -nE 's/^deb( +\[[^]]*\])? +(\S*debian\S*) /deb-src\1 \2 /p' \
    /etc/apt/sources.list "$lists"/*.list 2>/dev/null || true)
  # Stanzas (deb822): each paragraph of type deb on a Debian URI, as type deb-src.
  local stanza
  for stanza in "$lists"/*.sources; do
    [[ -f $stanza ]] || continue
    added+=$'\n'$(awk -v RS= -v ORS='\n\n' '/\nURIs:[^\n]*debian/ && /(^|\n)Types: deb(\n|$)/ {
      sub(/(^|\n)Types: deb/, "\nTypes: deb-src"); print }' "$stanza")
  done
  [[ -n ${added//[[:space:]]/} ]] || return 0
  # deb822 stanzas go in a .sources file, one-line entries in a .list file.
  list=$lists/qmr-deb-src.list
  grep -q '^Types:' <<<"$added" && list=$lists/qmr-deb-src.sources
  echo "install-deps: writing $list so that \`apt-get source icu\` works (scripts/mingw-root.sh"
  echo "builds ICU for Windows from Debian's source): a source entry beside each of Debian's package"
  echo "entries, as below; delete the file to undo."
  printf '%s\n' "$added" | sed '/./,$!d; s/^./  &/'
  printf '%s\n' "$added" | as_root tee "$list.tmp" >/dev/null
  as_root mv "$list.tmp" "$list"
  update_needed=true
}

if $windows; then enable_debian_sources; fi

if ((${#missing[@]})) || $update_needed; then
  export DEBIAN_FRONTEND=noninteractive
  as_root apt-get update -qq
fi
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Installs the npm packages of directory $1 from its lockfile, unless they are there already.
npm_ci() {
  local stamp="$1/node_modules/.lock-stamp"
  [[ -f $1/package-lock.json ]] || return 0
  if [[ ! -f $stamp ]] || ! cmp -s "$stamp" "$1/package-lock.json"; then
    (cd "$1" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
    cp "$1/package-lock.json" "$stamp"
  fi
}
# The browser and tool-server client tests run on npm packages pinned by the lockfile, the
# protocol's conformance suite on those pinned by its own; with --windows, the release's bundles
# are checked with the bundle tool pinned by its own.
npm_ci "$ROOT/apps/quillon_market_radar/tests/e2e"
npm_ci "$ROOT/apps/quillon_market_radar/tests/conformance"
if $windows; then npm_ci "$ROOT/packaging/mcpb"; fi
