#!/usr/bin/env bash
# The main job end to end: installs what is missing, builds, starts the
# reference web system on loopback, the manager (under Xvfb when there is no
# display), sends a sale of R$ 10,00 with the command-line commercial
# application, prints the answer and saves a screenshot of the window.
#   --manual   leave the web system in manual mode (on a desktop: click
#              "Aprovar", "Recusar" or "Cancelar" in the page yourself)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh >/dev/null
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24" bash scripts/demo-venda.sh "$@"
fi
exec bash scripts/demo-venda.sh "$@"
