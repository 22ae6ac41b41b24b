#!/usr/bin/env bash
# The main job end to end. Until the desktop manager exists this runs the
# command-line commercial application's self-demonstration, in which the
# manager's side of the exchange is played by the tool itself.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh >/dev/null
exec build/tools/comercial/tef-comercial demo "$@"
