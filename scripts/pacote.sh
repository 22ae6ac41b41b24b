#!/usr/bin/env bash
# Builds the Debian package tef-orvex_<version>_<arch>.deb: configures and
# builds the programs in a build directory of their own (no tests), packs
# them with CPack (dependencies from dpkg-shlibdeps) and checks the package
# with lintian, which must report no error. The last line printed is the
# package's path.
#
#   scripts/pacote.sh [--versao 1.0.0.2] [--build DIR]
#
# --versao overrides the version of CMakeLists.txt (programs and package);
# --build picks the build directory (default build-pacote/).
set -euo pipefail
cd "$(dirname "$0")/.."
RAIZ=$PWD
BUILD=$RAIZ/build-pacote
VERSAO=
while [ $# -gt 0 ]; do
  case $1 in
    --versao) VERSAO=${2:?--versao needs a version}; shift 2 ;;
    --build) BUILD=${2:?--build needs a directory}; shift 2 ;;
    -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "usage: $0 [--versao 1.0.0.2] [--build DIR]" >&2; exit 2 ;;
  esac
done

for programa in cpack dpkg-shlibdeps file lintian; do
  command -v "$programa" >/dev/null || { echo "$programa not found: run scripts/setup.sh" >&2; exit 1; }
done

# Without --versao the version of CMakeLists.txt, even in a directory that
# was configured with another one.
if [ -n "$VERSAO" ]; then VERSAO_ARG=(-DTEF_VERSAO="$VERSAO"); else VERSAO_ARG=(-UTEF_VERSAO); fi
# Debian's compiler and linker flags for packages, with every hardening
# feature (fortified functions, full RELRO with immediate binding, PIE).
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CXXFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
LDFLAGS=$(dpkg-buildflags --get LDFLAGS)
echo "== configuring $BUILD"
mkdir -p "$BUILD"
cmake -S "$RAIZ" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTEF_TESTES=OFF "${VERSAO_ARG[@]}" \
  -DCMAKE_CXX_FLAGS="$CXXFLAGS" -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" \
  >"$BUILD/configura.log" 2>&1 || { cat "$BUILD/configura.log" >&2; exit 1; }
[ -f "$BUILD/CPackConfig.cmake" ] || { echo "no CPack configuration: Qt 6 WebEngine or X11 missing?" >&2; exit 1; }
echo "== building"
cmake --build "$BUILD"

echo "== packing"
rm -f "$BUILD"/deb/tef-orvex_*.deb
(cd "$BUILD" && cpack -G DEB) >"$BUILD/cpack.log" 2>&1 || { cat "$BUILD/cpack.log" >&2; exit 1; }
DEB=$(ls "$BUILD"/deb/tef-orvex_*.deb)
[ "$(printf '%s\n' "$DEB" | wc -l)" -eq 1 ] || { echo "expected one package, got: $DEB" >&2; exit 1; }
dpkg-deb --info "$DEB" | sed -n '/^ Package:/,$p'

echo "== lintian"
# Only an error fails; warnings are printed. The overrides are in
# pacote/lintian-overrides, each with its reason.
lintian --fail-on error --tag-display-limit 0 "$DEB"
echo "$DEB"
