#!/usr/bin/env bash
# `make release`: the stand-alone program for x86-64 and aarch64, each installed stripped with the
# man page, completion, user unit and copyright file into a tree laid out as below a prefix, with a
# short README and the competitor-prices template on top, and packed as dist/quillon_market_radar-VERSION-linux-ARCH.tar.gz; the
# Windows program stripped with a README, the copyright file and the template in
# dist/quillon_market_radar-VERSION-windows-x86_64.zip; two assistant bundles,
# dist/quillon_market_radar-VERSION-linux.mcpb (both Linux programs and the launcher that starts
# the machine's) and -windows-x86_64.mcpb, which scripts/check-bundles.sh checks; and
# dist/SHA256SUMS over all of them. The archives are reproducible: sorted names, owner root, every
# time the last commit's.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

bash "$ROOT/scripts/install-deps.sh" --release --windows

for arch in "${ARCHES[@]}"; do
  configure_arch "$arch"
  build_arch "$arch" quillon_market_radar qmr_install_docs
  check_static_pie "$(program_of "$arch")" "$arch"
done
configure_arch windows
build_arch windows quillon_market_radar
check_windows_exe "$(program_of windows)"
trap stop_wine EXIT
start_wine

# The version is the CMake project's; every program must say it.
version=$(cache_entry x86_64 CMAKE_PROJECT_VERSION)
for arch in "${ARCHES[@]}" windows; do
  said=$(run_on "$arch" "$(program_of "$arch")" --version)
  if [[ $said != "quillon_market_radar $version" ]]; then
    echo "the $arch program says '$said', the project's version is $version" >&2
    exit 1
  fi
done

export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$ROOT" log -1 --format=%ct 2>/dev/null || date +%s)}
dist="$ROOT/dist"
stage=$(mktemp -d)
trap 'rm -rf "$stage"; stop_wine' EXIT
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
  install -m 644 "$ROOT/packaging/competitor-prices-template.csv" "$tree/competitor-prices-template.csv"
  for file in README competitor-prices-template.csv bin/quillon_market_radar share/man/man1/quillon_market_radar.1.gz \
    share/bash-completion/completions/quillon_market_radar "$unit" \
    share/doc/quillon-market-radar/copyright; do
    [[ -s $tree/$file ]] || {
      echo "$name lacks $file" >&2
      exit 1
    }
  done
  tar --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$SOURCE_DATE_EPOCH" -C "$stage" -cf - "$name" |
    gzip -9n >"$dist/$name.tar.gz"
done

windows_name="quillon_market_radar-$version-windows-x86_64"
windows_tree="$stage/$windows_name"
mkdir -p "$windows_tree"
strip_program windows "$windows_tree/quillon_market_radar.exe"
check_size "$windows_tree/quillon_market_radar.exe"
install -m 644 "$ROOT/packaging/standalone/README.windows" "$windows_tree/README.txt"
install -m 644 "$ROOT/packaging/copyright" "$windows_tree/copyright.txt"
install -m 644 "$ROOT/packaging/competitor-prices-template.csv" \
  "$windows_tree/competitor-prices-template.csv"
pack_zip "$stage" "$dist/$windows_name.zip" "$windows_name"

# The bundles: manifest.json and under server/ what the host starts. A manifest names a system,
# not a machine, so one Linux bundle carries both programs and the launcher that starts the one
# the machine runs; the Windows bundle, the stripped .exe. The manifest lists the tools the
# program itself lists, and the licence the copyright file names.
license=$(sed -n 's/^License: //p' "$ROOT/packaging/copyright" | head -1)
tools=$(echo '{"jsonrpc":"2.0","id":1,"method":"tools/list"}' | "$(program_of x86_64)" mcp)
linux_bundle="$stage/bundle-linux"
for arch in "${ARCHES[@]}"; do
  mkdir -p "$linux_bundle/server/$arch"
  strip_program "$arch" "$linux_bundle/server/$arch/quillon_market_radar"
done
install -m 755 "$ROOT/packaging/mcpb/launcher.sh" "$linux_bundle/server/quillon_market_radar"
windows_bundle="$stage/bundle-windows-x86_64"
mkdir -p "$windows_bundle/server"
strip_program windows "$windows_bundle/server/quillon_market_radar.exe"
for suffix in linux windows-x86_64; do
  case $suffix in
    linux) bundle=$linux_bundle platform=linux program=quillon_market_radar ;;
    *) bundle=$windows_bundle platform=win32 program=quillon_market_radar.exe ;;
  esac
  chmod -R a+rX,go-w "$bundle/server"
  node "$ROOT/packaging/mcpb/manifest.mjs" "$platform" "$program" "$version" "$license" \
    <<<"$tools" >"$bundle/manifest.json"
  pack_zip "$bundle" "$dist/quillon_market_radar-$version-$suffix.mcpb" manifest.json server
done

(cd "$dist" && sha256sum -- *.tar.gz *.zip *.mcpb >SHA256SUMS)
bash "$ROOT/scripts/check-bundles.sh" "$dist"

echo "release $version:"
(cd "$dist" && for f in *.tar.gz *.zip *.mcpb; do
  printf '  dist/%s  %s bytes\n' "$f" "$(stat -c %s "$f")"
done)
echo "  dist/SHA256SUMS"
