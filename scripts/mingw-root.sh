#!/usr/bin/env bash
# Lays out the libraries of the Windows x86-64 build below one root, which
# cmake/x86_64-w64-mingw32.cmake searches (besides mingw-w64's own):
#   scripts/mingw-root.sh [ROOT]      (default build/mingw-root)
# - ICU's common library (libicuuc.a, static) and its headers, cross-built from the source of
#   Debian's own ICU package (`apt-get source icu`: the version and Debian patches of the Linux
#   builds). Only the common library: the program uses no other part of ICU, and its data is the
#   empty archive of the stand-alone builds (src/base/icu_empty_data.cpp). ICU's own build system
#   would first build all of ICU natively for its tools, which the common library does not need.
# - GoogleTest, cross-built from Debian's source of it (/usr/src/googletest, libgtest-dev).
# - Debian's header-only asio, CLI11 and nlohmann/json, linked in: the cross compiler must not see
#   the rest of /usr/include, which holds glibc's headers.
# A finished part is kept (a stamp per part), so a second run takes a moment.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

prefix=${1:-$ROOT/build/mingw-root}
cxx=x86_64-w64-mingw32-g++-posix
mkdir -p "$prefix/include" "$prefix/lib" "$prefix/share/cmake"

# The header-only libraries.
for header in asio asio.hpp CLI nlohmann; do
  ln -sfn "/usr/include/$header" "$prefix/include/$header"
done
# A copy, not a link: the package's files find their headers relative to where they are.
rm -rf "$prefix/share/cmake/nlohmann_json"
cp -r /usr/share/cmake/nlohmann_json "$prefix/share/cmake/"

# ICU's common library.
icu_version=$(apt-cache showsrc icu | sed -n 's/^Version: //p' | sort -V | tail -1)
if [[ -z $icu_version ]]; then
  echo "mingw-root: no source package of icu; run scripts/install-deps.sh --windows" >&2
  exit 1
fi
# Built anew when the ICU version or the Windows version changes.
icu_build="$prefix/icu-$icu_version-windows-$WINDOWS_VERSION"
icu_stamp="$icu_build.built"
if [[ ! -f $icu_stamp ]]; then
  sources="$prefix/source"
  if [[ ! -f $sources/icu-$icu_version.unpacked ]]; then
    rm -rf "$sources"
    mkdir -p "$sources"
    (cd "$sources" && quietly apt-get source -qq "icu=$icu_version")
    mv "$sources"/icu-*/ "$sources/icu"
    touch "$sources/icu-$icu_version.unpacked"
  fi
  common="$sources/icu/source/common"
  # As ICU's own build of a static library: its public symbols neither imported nor exported,
  # the deprecated-API markers off, the Windows API of the oldest Windows the program runs on
  # (lib.sh's WINDOWS_VERSION). ICU's own sources are not held to our warnings.
  flags="-std=c++17 -O2 -ffunction-sections -fdata-sections -I$common -DU_COMMON_IMPLEMENTATION
    -DU_STATIC_IMPLEMENTATION -DU_ATTRIBUTE_DEPRECATED= -DWINVER=$WINDOWS_VERSION
    -D_WIN32_WINNT=$WINDOWS_VERSION -w"
  objects="$icu_build-objects"
  mkdir -p "$objects"
  # Each object once: an interrupted build resumes where it stopped.
  find "$common" -maxdepth 1 -name '*.cpp' -print0 | sort -z |
    objects=$objects cxx=$cxx flags=$flags xargs -0 -P "$JOBS" -I{} sh -c '
      object="$objects/$(basename "$1" .cpp).o"
      [ -f "$object" ] && exit 0
      $cxx $flags -c "$1" -o "$object.tmp" && mv "$object.tmp" "$object"' sh {}
  rm -f "$prefix/lib/libicuuc.a"
  x86_64-w64-mingw32-ar rcs "$prefix/lib/libicuuc.a" "$objects"/*.o
  rm -rf "$prefix/include/unicode"
  mkdir -p "$prefix/include/unicode"
  cp "$common"/unicode/*.h "$prefix/include/unicode/"
  touch "$icu_stamp"
fi

# GoogleTest, with its CMake package files.
gtest_version=$(dpkg-query -W -f='${Version}' libgtest-dev)
gtest_stamp="$prefix/gtest-$gtest_version.built"
if [[ ! -f $gtest_stamp ]]; then
  build="$prefix/gtest-build"
  quietly cmake -S /usr/src/googletest -B "$build" -DCMAKE_BUILD_TYPE=Release \
    "${WINDOWS_TOOLCHAIN[@]}" -DQMR_MINGW_ROOT="$prefix" \
    -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON -DCMAKE_INSTALL_PREFIX="$prefix"
  quietly cmake --build "$build" -j "$JOBS"
  quietly cmake --install "$build"
  touch "$gtest_stamp"
fi
echo "$prefix"
