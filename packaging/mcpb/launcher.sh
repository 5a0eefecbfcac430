#!/bin/sh
# The Linux bundle's server/quillon_market_radar, which the host starts: the bundle carries the
# program for x86_64 and for aarch64 (server/x86_64/, server/aarch64/), and a host cannot tell
# machines apart by the manifest, so this starts the one the machine runs. Any other machine gets
# a sentence and status 126, not an exec-format error.
machine=$(uname -m)
case $machine in
  x86_64 | aarch64) exec "$(dirname "$0")/$machine/quillon_market_radar" "$@" ;;
esac
echo "quillon_market_radar: this bundle holds the program for x86_64 and aarch64 Linux; this machine is $machine" >&2
exit 126
