# The one library of the build scripts (scripts/*.sh, bench/lib.sh): where the repository is,
# Wine's programs and prefix, running a command quietly or as root, configuring and building the
# stand-alone program for x86-64 (the release build of `make test`), for aarch64 (cross-built,
# tested under qemu) and for Windows x86-64 (cross-built with mingw-w64, tested under Wine),
# running a program of any of them here, stripping and zipping, and checking that a binary is a
# static-pie executable, or an .exe that imports Windows' own libraries only.
# shellcheck shell=bash

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
JOBS=${JOBS:-$(nproc)}
ARCHES=(x86_64 aarch64)
# Largest stripped stand-alone binary accepted: 6 MB. Linked with ICU's 31 MB data it would be 35.
MAX_STRIPPED_BYTES=6000000

# Wine as Debian's wine64 installs it, and its prefix (its C: drive and registry), kept in the
# Windows build tree. WINE_RUN runs a Windows program, saying nothing of Wine's own on standard
# error (its "fixme" notes); the Windows build's tests run through the same command, which
# configure_arch hands to cmake/x86_64-w64-mingw32.cmake.
WINE_DIR=/usr/lib/wine
WINE=$WINE_DIR/wine64
WINESERVER=$WINE_DIR/wineserver
WINE_PREFIX=$ROOT/build/windows/wine
WINE_RUN=(env "WINEPREFIX=$WINE_PREFIX" WINEDEBUG=-all "$WINE")

# The oldest Windows the Windows build runs on, as _WIN32_WINNT and WINVER: Windows 10, whose
# value Windows 11 shares (it has none of its own). The program's build reads it through the
# toolchain arguments below, ICU's build in scripts/mingw-root.sh.
WINDOWS_VERSION=0x0A00

# The toolchain arguments of cmake for the Windows build.
WINDOWS_TOOLCHAIN=(--toolchain "$ROOT/cmake/x86_64-w64-mingw32.cmake"
  "-DQMR_WINE_COMMAND=$(IFS=';' && echo "${WINE_RUN[*]}")" "-DQMR_WINDOWS_VERSION=$WINDOWS_VERSION")

# Runs a command quietly; prints its output only when it fails.
quietly() {
  local log status=0
  log=$(mktemp)
  "$@" >"$log" 2>&1 || status=$?
  ((status == 0)) || cat "$log" >&2
  rm -f "$log"
  return "$status"
}

# Runs a command as root: through sudo when this user is not.
as_root() {
  if [[ $(id -u) -eq 0 ]]; then "$@"; else sudo "$@"; fi
}

# Prints the build directory of architecture $1.
build_dir() {
  case $1 in
    x86_64) echo "$ROOT/build/release" ;;
    aarch64) echo "$ROOT/build/aarch64" ;;
    windows) echo "$ROOT/build/windows" ;;
  esac
}

# Prints the program's path in the build of architecture $1.
program_of() {
  local suffix=""
  [[ $1 == windows ]] && suffix=.exe
  echo "$(build_dir "$1")/apps/quillon_market_radar/quillon_market_radar$suffix"
}

# Runs program $2 of architecture $1 with arguments $3...: under qemu for aarch64, under Wine for
# Windows (started by start_wine first), directly for x86_64.
run_on() {
  local arch=$1
  shift
  case $arch in
    aarch64) qemu-aarch64 "$@" ;;
    windows) "${WINE_RUN[@]}" "$@" ;;
    *) "$@" ;;
  esac
}

# Starts Wine for the programs of the Windows build: WINE_PREFIX (made at the first start: a C:
# drive and registry) with a server that persists until stop_wine, and Wine's own service
# processes, all with their standard streams on /dev/null. Started later by a program whose
# output a pipe carries, those processes would inherit the pipe and hold it open for good. A
# second start while the server runs is harmless.
start_wine() {
  export WINEPREFIX=$WINE_PREFIX WINEDEBUG=-all
  mkdir -p "$WINEPREFIX"
  "$WINESERVER" -f -p </dev/null >/dev/null 2>&1 &
  WINE_SERVER_PID=$!
  "$WINE" wineboot --init </dev/null >/dev/null 2>&1
}

# Ends the Wine server start_wine started and the processes of its prefix (Wine's services), and
# waits for them: a server killed by its process id leaves them behind.
stop_wine() {
  [[ -n ${WINE_SERVER_PID:-} ]] || return 0
  WINEPREFIX=$WINE_PREFIX "$WINESERVER" -k 2>/dev/null || true
  wait "$WINE_SERVER_PID" 2>/dev/null || true
  WINE_SERVER_PID=""
}

# Configures the release build of architecture $1: x86_64 natively, aarch64 and Windows with
# their toolchain files (Windows after laying out its libraries with scripts/mingw-root.sh).
configure_arch() {
  local toolchain=()
  case $1 in
    aarch64) toolchain=(--toolchain "$ROOT/cmake/aarch64-linux-gnu.cmake") ;;
    windows)
      JOBS=$JOBS quietly bash "$ROOT/scripts/mingw-root.sh"
      toolchain=("${WINDOWS_TOOLCHAIN[@]}")
      ;;
  esac
  quietly cmake -S "$ROOT" -B "$(build_dir "$1")" -DCMAKE_BUILD_TYPE=Release "${toolchain[@]}"
}

# Builds targets $2... of the build of architecture $1 (all of them when none is named).
build_arch() {
  local arch=$1 targets=()
  shift
  (($#)) && targets=(--target "$@")
  quietly cmake --build "$(build_dir "$arch")" -j "$JOBS" "${targets[@]}"
}

# Prints a CMake cache entry $2 of the build of architecture $1.
cache_entry() { sed -n "s/^$2:[A-Z]*=//p" "$(build_dir "$1")/CMakeCache.txt"; }

# Writes the stripped copy of the program of architecture $1 to $2.
strip_program() { "$(cache_entry "$1" CMAKE_STRIP)" -o "$2" "$(program_of "$1")"; }

# Packs the files below paths $3... of directory $1 into zip file $2, named relative to $1:
# sorted names, every time SOURCE_DATE_EPOCH (else now), no folder entries (the bundles' own
# unpacker fails on one) and no extra attributes but the mode.
pack_zip() {
  local dir=$1 zip=$2
  shift 2
  (cd "$dir" && find "$@" -exec touch -h -d "@${SOURCE_DATE_EPOCH:-$(date +%s)}" {} + &&
    find "$@" -type f | LC_ALL=C sort | zip -q -X -D "$zip" -@)
}

# Fails unless file $1 is a static-pie executable for architecture $2 (x86_64 or aarch64): file(1)
# says so, and its ELF header, program headers and dynamic section agree (position-independent,
# no interpreter, no shared library needed).
check_static_pie() {
  local binary=$1 machine description
  case $2 in
    x86_64) machine=x86-64 ;;
    aarch64) machine=aarch64 ;;
  esac
  description=$(file -b "$binary")
  local problems=()
  [[ $description == *"static-pie linked"* ]] || problems+=("file(1) does not say static-pie linked")
  [[ $description == *"$machine"* ]] || problems+=("file(1) does not name $machine")
  readelf -h "$binary" | grep -Eq 'Type: +DYN' || problems+=("the ELF type is not DYN")
  ! readelf -l "$binary" | grep -q INTERP || problems+=("it names an interpreter")
  readelf -d "$binary" | grep -Eq 'FLAGS_1.*PIE' || problems+=("its dynamic section lacks the PIE flag")
  ! readelf -d "$binary" | grep -q NEEDED || problems+=("it needs shared libraries")
  if ((${#problems[@]})); then
    echo "$binary is not a static-pie $2 executable:" >&2
    printf '  %s\n' "${problems[@]}" "file(1): $description" >&2
    return 1
  fi
}

# The libraries a Windows program may import: Windows' own, present on every installation.
WINDOWS_SYSTEM_DLLS=(KERNEL32.dll ADVAPI32.dll msvcrt.dll WS2_32.dll MSWSOCK.dll USER32.dll)

# Fails unless file $1 is a 64-bit Windows console executable that imports nothing but
# WINDOWS_SYSTEM_DLLS (a mingw runtime DLL among them would have to be shipped beside it).
check_windows_exe() {
  local binary=$1 description dll problems=()
  description=$(file -b "$binary")
  [[ $description == *"PE32+ executable (console) x86-64"* ]] ||
    problems+=("file(1) does not say PE32+ console x86-64")
  while read -r dll; do
    [[ " ${WINDOWS_SYSTEM_DLLS[*]} " == *" $dll "* ]] || problems+=("it imports $dll")
  done < <(objdump -p "$binary" | sed -n 's/^\s*DLL Name: //p')
  if ((${#problems[@]})); then
    echo "$binary is not a stand-alone Windows executable:" >&2
    printf '  %s\n' "${problems[@]}" "file(1): $description" >&2
    return 1
  fi
}

# Fails unless the stripped copy $1 is at most MAX_STRIPPED_BYTES long.
check_size() {
  local size
  size=$(stat -c %s "$1")
  if ((size > MAX_STRIPPED_BYTES)); then
    echo "$1 is $size bytes stripped, more than $MAX_STRIPPED_BYTES" >&2
    return 1
  fi
}
