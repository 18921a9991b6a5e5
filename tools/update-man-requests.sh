#!/usr/bin/env bash
# Regenerates the REQUESTS section of man/tevctl.1 from the agent's command
# table (tevctl --list-roff). The ManPages tests fail until it is run after
# a change of the table. Usage: tools/update-man-requests.sh [path/to/tevctl]
set -euo pipefail
cd "$(dirname "$0")/.."
ctl=${1:-build/tevctl}
section=$("$ctl" --list-roff)
tmp=$(mktemp man/tevctl.1.XXXXXX)
SECTION=$section awk '
  /^\.Sh REQUESTS/ { print ENVIRON["SECTION"]; skip = 1; next }
  skip && /^\.Sh / { skip = 0 }
  !skip { print }' man/tevctl.1 > "$tmp"
cat "$tmp" > man/tevctl.1
rm -f "$tmp"
