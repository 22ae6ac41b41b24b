#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the Linux ones, then
# the core's tests as Windows programs under Wine (scripts/windows.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
ctest --test-dir build --output-on-failure -j2 --timeout 300
bash scripts/windows.sh
