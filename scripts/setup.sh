#!/usr/bin/env bash
# Installs the Debian packages the project needs. Idempotent; prints nothing
# when everything is already there.
#   setup.sh            the build, the desktop program and the Linux tests
#   setup.sh windows    also mingw-w64, Wine and GoogleTest's sources (scripts/windows.sh)
#   setup.sh fuzz       also clang and libFuzzer (scripts/fuzz.sh)
set -euo pipefail

pacotes=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev qt6-webengine-dev libx11-dev libxcb1-dev fonts-liberation
  libcurl4-openssl-dev libssl-dev openssl libcpp-httplib-dev
  xvfb xauth xdotool trayer imagemagick perl python3
  dpkg-dev file lintian procps libsystemd-dev
  debootstrap systemd-container
)
for grupo in "$@"; do
  case $grupo in
    windows) pacotes+=(g++-mingw-w64-x86-64-posix wine wine64 googletest) ;;
    fuzz) pacotes+=(clang libclang-rt-14-dev) ;;
    *) echo "setup.sh: unknown group $grupo (windows, fuzz)" >&2; exit 2 ;;
  esac
done

faltam=()
for p in "${pacotes[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    faltam+=("$p")
  fi
done
[ ${#faltam[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then sudo=(); else sudo=(sudo); fi
echo "Installing: ${faltam[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${faltam[@]}" >/dev/null
