#!/usr/bin/env bash
# Checks each assistant bundle (*.mcpb) of a release directory with the bundles' own tool
# (@anthropic-ai/mcpb, pinned by packaging/mcpb/package-lock.json): its manifest validated, its
# summary shown, the bundle unpacked; then the unpacked program, started as the manifest says
# (the Windows one under Wine, the aarch64 one under qemu), answers initialize and a tool call.
# Also that the zip lists files only: a folder entry breaks the tool's unpacking.
#   scripts/check-bundles.sh [DIST]      (default dist)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

dist=${1:-$ROOT/dist}
bash "$ROOT/scripts/install-deps.sh" --release --windows
mcpb() { node "$ROOT/packaging/mcpb/node_modules/@anthropic-ai/mcpb/dist/cli/cli.js" "$@"; }

REQUESTS='{"jsonrpc":"2.0","id":1,"method":"initialize","params":{}}
{"jsonrpc":"2.0","method":"notifications/initialized"}
{"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"market_search_products","arguments":{"query":"noise"}}}'

work=$(mktemp -d)
trap 'rm -rf "$work"; stop_wine' EXIT
start_wine
shopt -s nullglob
bundles=("$dist"/*.mcpb)
if ((${#bundles[@]} != 3)); then
  echo "expected 3 bundles in $dist, found ${#bundles[@]}" >&2
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
  mcpb unpack "$bundle" "$work/$name/unpacked" >/dev/null

  # The command as the host runs it: ${__dirname} is where the bundle was unpacked.
  read -r platform command args < <(node -e '
    const m = JSON.parse(require("fs").readFileSync(process.argv[1], "utf8"));
    console.log(m.compatibility.platforms.join(","), m.server.mcp_config.command, m.server.mcp_config.args.join(" "));
  ' "$work/$name/manifest.json")
  program=${command//'${__dirname}'/$work/$name/unpacked}
  case $name in
    *-windows-x86_64) arch=windows expected=win32 ;;
    *-linux-aarch64) arch=aarch64 expected=linux ;;
    *-linux-x86_64) arch=x86_64 expected=linux ;;
    *)
      echo "$name.mcpb: no platform in its name" >&2
      exit 1
      ;;
  esac
  if [[ $platform != "$expected" ]]; then
    echo "$name.mcpb declares platforms '$platform', not $expected" >&2
    exit 1
  fi
  [[ $arch == windows ]] || [[ -x $program ]] || {
    echo "$name.mcpb: $program is not an executable after unpacking" >&2
    exit 1
  }
  # shellcheck disable=SC2086 # the manifest's arguments, one word each
  answers=$(run_on "$arch" "$program" $args <<<"$REQUESTS")
  node -e '
    const lines = process.argv[1].split("\n");
    const [init, call] = lines.map((line) => JSON.parse(line));
    const found = JSON.parse(call.result.content[0].text);
    if (lines.length !== 2 || init.id !== 1 || init.result.serverInfo.name !== "quillon_market_radar" ||
        call.id !== 2 || found.length !== 1 || found[0].sku_asin !== "B09G9FPHY6") {
      console.error("unexpected answers:\n" + process.argv[1]);
      process.exit(1);
    }
  ' "$answers"
  printf '%s\n' "$answers" | cut -c1-160 | sed 's/^/  answered: /'
done
