#!/usr/bin/env bash
# Builds the Debian package build/package/velquorn-dns_VERSION_ARCH.deb from the sources (installs the compiler,
# CMake and dpkg-dev when missing). Install it with: sudo apt install ./build/package/velquorn-dns_*.deb
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-packages.sh" g++ cmake make dpkg-dev file
build=$root/build/package
# Built as Debian builds its daemons: stack protector, _FORTIFY_SOURCE, full RELRO with immediate binding, PIE.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
(cd "$build" && rm -f ./*.deb && cpack -G DEB >/dev/null)
ls "$build"/velquorn-dns_*.deb
