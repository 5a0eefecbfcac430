#!/usr/bin/env bash
# Lays out the libraries of the Windows x86-64 build below one root, which
# cmake/x86_64-w64-mingw32.cmake searches (besides mingw-w64's own):
#   scripts/mingw-root.sh [ROOT]      (default build/mingw-root)
# - ICU's common library (libicuuc.a, static) and its headers, cross-built from the source of
#   Debian's own ICU package (`apt-get source icu`: the version and Debian patches of the Linux
#   builds). Only the common library: the program uses no other part of ICU, and its data is the
#   empty archive of the stand-alone builds (src/base/icu_empty_data.cpp). ICU's own build system
#   would first build all of ICU natively for its tools, which the common library does not need.
# - SQLite (libsqlite3.a, static) and its header, cross-built from the amalgamation that the source
#   of Debian's own sqlite3 package writes (`apt-get source sqlite3`, then its own `./configure &&
#   make sqlite3.c`, which runs tclsh): the version and Debian patches of the Linux builds.
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

# SQLite, from the one-file amalgamation of Debian's source: configured and generated natively
# (its generators are C programs and Tcl scripts), compiled by the cross compiler.
sqlite_version=$(apt-cache showsrc sqlite3 | sed -n 's/^Version: //p' | sort -V | tail -1)
if [[ -z $sqlite_version ]]; then
  echo "mingw-root: no source package of sqlite3; run scripts/install-deps.sh --windows" >&2
  exit 1
fi
sqlite_stamp="$prefix/sqlite3-$sqlite_version.built"
if [[ ! -f $sqlite_stamp ]]; then
  tree="$prefix/sqlite3-source"
  rm -rf "$tree"
  mkdir -p "$tree"
  (cd "$tree" && quietly apt-get source -qq "sqlite3=$sqlite_version")
  amalgamation="$tree/amalgamation"
  mkdir -p "$amalgamation"
  (cd "$amalgamation" && quietly "$(echo "$tree"/sqlite3-*/)configure" --disable-tcl &&
    quietly make sqlite3.c)
  # Threads as the Linux library has them (serialized by default, the store's handles are used by
  # one thread each); no extension loaded from a DLL.
  x86_64-w64-mingw32-gcc-posix -O2 -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION -w \
    -c "$amalgamation/sqlite3.c" -o "$amalgamation/sqlite3.o"
  rm -f "$prefix/lib/libsqlite3.a"
  x86_64-w64-mingw32-ar rcs "$prefix/lib/libsqlite3.a" "$amalgamation/sqlite3.o"
  cp "$amalgamation/sqlite3.h" "$prefix/include/"
  rm -rf "$tree"
  touch "$sqlite_stamp"
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
