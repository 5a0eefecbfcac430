#!/usr/bin/env bash
# `make release`: the stand-alone program for x86-64 and aarch64, each installed stripped with the
# man page, completion, user unit and copyright file into a tree laid out as below a prefix, with a
# short README on top, and packed as dist/quillon_market_radar-VERSION-linux-ARCH.tar.gz; and
# dist/SHA256SUMS over both. The archives are reproducible: sorted names, owner root, every time
# the last commit's.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/standalone-lib.sh"

bash "$ROOT/scripts/install-deps.sh" --release

for arch in "${ARCHES[@]}"; do
  configure_arch "$arch"
  build_arch "$arch" quillon_market_radar qmr_install_docs
  check_static_pie "$(program_of "$arch")" "$arch"
done

# The version is the CMake project's; both programs must say it.
version=$(cache_entry x86_64 CMAKE_PROJECT_VERSION)
for arch in "${ARCHES[@]}"; do
  emulator=()
  [[ $arch == aarch64 ]] && emulator=(qemu-aarch64)
  said=$("${emulator[@]}" "$(program_of "$arch")" --version)
  if [[ $said != "quillon_market_radar $version" ]]; then
    echo "the $arch program says '$said', the project's version is $version" >&2
    exit 1
  fi
done

epoch=${SOURCE_DATE_EPOCH:-$(git -C "$ROOT" log -1 --format=%ct 2>/dev/null || date +%s)}
dist="$ROOT/dist"
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
rm -rf "$dist"
mkdir -p "$dist"
for arch in "${ARCHES[@]}"; do
  name="quillon_market_radar-$version-linux-$arch"
  tree="$stage/$name"
  quietly cmake --install "$(build_dir "$arch")" --prefix "$tree" --strip
  check_size "$tree/bin/quillon_market_radar"
  # An installed unit names the program below its prefix; the download's names the place its
  # README copies it to.
  unit=share/systemd/user/quillon-market-radar.service
  sed 's|@CMAKE_INSTALL_FULL_BINDIR@|%h/.local/bin|' \
    "$ROOT/packaging/quillon-market-radar.service.in" >"$tree/$unit"
  if grep -q @ "$tree/$unit"; then
    echo "$unit: a placeholder is left: $(grep @ "$tree/$unit")" >&2
    exit 1
  fi
  install -m 644 "$ROOT/packaging/standalone/README" "$tree/README"
  for file in README bin/quillon_market_radar share/man/man1/quillon_market_radar.1.gz \
    share/bash-completion/completions/quillon_market_radar "$unit" \
    share/doc/quillon-market-radar/copyright; do
    [[ -s $tree/$file ]] || {
      echo "$name lacks $file" >&2
      exit 1
    }
  done
  tar --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$epoch" -C "$stage" -cf - "$name" |
    gzip -9n >"$dist/$name.tar.gz"
done
(cd "$dist" && sha256sum -- *.tar.gz >SHA256SUMS)

echo "release $version:"
(cd "$dist" && for f in *.tar.gz; do
  printf '  dist/%s  %s bytes\n' "$f" "$(stat -c %s "$f")"
done)
echo "  dist/SHA256SUMS"
