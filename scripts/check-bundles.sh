#!/usr/bin/env bash
# Checks the assistant bundles (*.mcpb) of a release directory, the Linux one and the Windows one,
# with the bundles' own tool (@anthropic-ai/mcpb, pinned by packaging/mcpb/package-lock.json): its
# manifest validated, its summary shown, the bundle unpacked; then the unpacked program, started as
# the manifest says (the Windows one under Wine), answers initialize and a tool call. The Linux
# bundle's launcher is started on each machine it knows, as that machine's `uname -m` answers,
# with only that machine's program beside it (the aarch64 one run under qemu), and on a machine it
# does not know. Also that the zip lists files only: a folder entry breaks the tool's unpacking.
#   scripts/check-bundles.sh [DIST]      (default dist)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

dist=${1:-$ROOT/dist}
bash "$ROOT/scripts/install-deps.sh" --release --windows
mcpb() { node "$ROOT/packaging/mcpb/node_modules/@anthropic-ai/mcpb/dist/cli/cli.js" "$@"; }

REQUESTS='{"jsonrpc":"2.0","id":1,"method":"initialize","params":{}}
{"jsonrpc":"2.0","method":"notifications/initialized"}
{"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"market_search_products","arguments":{"query":"noise"}}}'

# Fails unless $2, the answers to REQUESTS, are the handshake and the one product found; $1 says
# whose answers they are.
check_answers() {
  node -e '
    const lines = process.argv[2].split("\n");
    const expected = () => {
      const [init, call] = lines.map((line) => JSON.parse(line));
      const found = JSON.parse(call.result.content[0].text);
      return lines.length === 2 && init.id === 1 && init.result.serverInfo.name === "quillon_market_radar" &&
        call.id === 2 && found.length === 1 && found[0].sku_asin === "B09G9FPHY6";
    };
    let ok = false;
    try { ok = expected(); } catch {}
    if (!ok) {
      console.error(`${process.argv[1]}: unexpected answers:\n${process.argv[2]}`);
      process.exit(1);
    }
  ' "$1" "$2"
  printf '%s\n' "$2" | cut -c1-140 | sed "s/^/  $1: /"
}

# Starts the Linux bundle's launcher, unpacked in $1, as on a machine whose `uname -m` says $2,
# with $REQUESTS as input; a copy of server/ holds only that machine's program (through qemu when
# it is foreign), so that any other choice fails, and the manifest's arguments as the host passes
# them with no folder set (`args`). Prints the answers; ends with the launcher's status.
launch_as() {
  local unpacked=$1 machine=$2 view="$work/as-$2" program arch
  rm -rf "$view"
  mkdir -p "$view/bin"
  cp -r "$unpacked/server" "$view/server"
  printf '#!/bin/sh\necho %s\n' "$machine" >"$view/bin/uname"
  for arch in "${ARCHES[@]}"; do
    program="$view/server/$arch/quillon_market_radar"
    if [[ $arch != "$machine" ]]; then
      rm "$program"
    elif [[ $arch != "$(uname -m)" ]]; then
      mv "$program" "$program.$arch"
      printf '#!/bin/sh\nexec qemu-%s "$0.%s" "$@"\n' "$arch" "$arch" >"$program"
    fi
  done
  chmod -R 755 "$view/bin" "$view/server"
  PATH="$view/bin:$PATH" "$view/server/quillon_market_radar" "${args[@]}" <<<"$REQUESTS"
}

# Prints the command and arguments a host starts for the manifest $1 unpacked in $2 with the
# settings $3 (JSON), as the bundle tool itself substitutes them; each ends with a NUL.
host_command() {
  node --input-type=module -e '
    import { readFileSync } from "node:fs";
    const { getMcpConfigForManifest } = await import(process.argv[1]);
    const manifest = JSON.parse(readFileSync(process.argv[2], "utf8"));
    const config = await getMcpConfigForManifest({ manifest, extensionPath: process.argv[3],
      systemDirs: {}, userConfig: JSON.parse(process.argv[4]), pathSeparator: "/" });
    for (const word of [config.command, ...config.args]) process.stdout.write(`${word}\0`);
  ' "$ROOT/packaging/mcpb/node_modules/@anthropic-ai/mcpb/dist/shared/config.js" "$@"
}

work=$(mktemp -d)
trap 'rm -rf "$work"; stop_wine' EXIT
start_wine
shopt -s nullglob
bundles=("$dist"/*.mcpb)
names=$(printf '%s\n' "${bundles[@]##*/}" | sed -E 's/^quillon_market_radar-[^-]+-//' | paste -sd ' ')
if [[ $names != "linux.mcpb windows-x86_64.mcpb" ]]; then
  echo "expected a linux and a windows-x86_64 bundle in $dist, found: $names" >&2
  exit 1
fi
for bundle in "${bundles[@]}"; do
  name=$(basename "$bundle" .mcpb)
  echo "== $name.mcpb"
  if unzip -Z1 "$bundle" | grep -q '/$'; then
    echo "$name.mcpb has folder entries: $(unzip -Z1 "$bundle" | grep '/$' | paste -sd ' ')" >&2
    exit 1
  fi
  mkdir -p "$work/$name"
  unzip -p "$bundle" manifest.json >"$work/$name/manifest.json"
  mcpb validate "$work/$name/manifest.json"
  mcpb info "$bundle"
  unpacked="$work/$name/unpacked"
  mcpb unpack "$bundle" "$unpacked" >/dev/null

  # The command as the host runs it, through the bundle tool's own substitution: ${__dirname} is
  # where the bundle was unpacked; the data folder is left unset (the demo answers), then given.
  platform=$(node -e '
    const m = JSON.parse(require("fs").readFileSync(process.argv[1], "utf8"));
    console.log(m.compatibility.platforms.join(","));
  ' "$work/$name/manifest.json")
  mapfile -d '' -t unset_line < <(host_command "$work/$name/manifest.json" "$unpacked" '{}')
  mapfile -d '' -t folder_line < <(host_command "$work/$name/manifest.json" "$unpacked" \
    '{"data_folder":"/home/me/My Shop"}')
  program=${unset_line[0]}
  args=("${unset_line[@]:1}")
  case $name in
    *-windows-x86_64) system=windows expected=win32 ;;
    *-linux) system=linux expected=linux ;;
  esac
  # Unset, the placeholder stays a word of its own, which the program takes for no folder: never
  # an empty --data.
  if [[ $platform != "$expected" || "${args[*]}" != 'mcp --data ${user_config.data_folder}' ||
    "${folder_line[*]:1}" != 'mcp --data /home/me/My Shop' ]]; then
    echo "$name.mcpb declares platforms '$platform', arguments '${args[*]}' unset and" \
      "'${folder_line[*]:1}' with a folder, not $expected, mcp and --data FOLDER" >&2
    exit 1
  fi
  echo "  the host's command line: ${unset_line[*]:1} (unset), ${folder_line[*]:1} (a folder)"
  if [[ $system == windows ]]; then
    check_answers "started under Wine" "$(run_on windows "$program" "${args[@]}" <<<"$REQUESTS")"
    continue
  fi

  if [[ $program != "$unpacked/server/quillon_market_radar" ]]; then
    echo "$name.mcpb starts $program, not the launcher" >&2
    exit 1
  fi
  for file in quillon_market_radar "${ARCHES[@]/%//quillon_market_radar}"; do
    [[ -x $unpacked/server/$file ]] || {
      echo "$name.mcpb: server/$file is not executable after unpacking" >&2
      exit 1
    }
  done
  for arch in "${ARCHES[@]}"; do
    check_static_pie "$unpacked/server/$arch/quillon_market_radar" "$arch"
  done
  check_answers "started here ($(uname -m))" "$("$program" "${args[@]}" <<<"$REQUESTS")"
  for arch in "${ARCHES[@]}"; do
    check_answers "launched as on $arch" "$(launch_as "$unpacked" "$arch")"
  done
  status=0
  out=$(launch_as "$unpacked" riscv64 2>"$work/riscv64.err") || status=$?
  if ((status != 126)) || [[ -n $out ]] || ! grep -q 'this machine is riscv64$' "$work/riscv64.err"; then
    echo "$name.mcpb on riscv64: status $status, output '$out', error '$(cat "$work/riscv64.err")'" >&2
    exit 1
  fi
  echo "  launched as on riscv64: status 126, $(cat "$work/riscv64.err")"
done
