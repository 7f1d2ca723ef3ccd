#!/usr/bin/env bash
# Builds and runs every test: once plainly, once under AddressSanitizer and UndefinedBehaviorSanitizer, and once
# under ThreadSanitizer; then the Windows build, the package and the fuzz targets. `test.sh quick` stops after the
# plain build's unit and whole-program tests, about a minute, for a contributor's round trip; CI runs everything.
# Usage: scripts/test.sh [quick]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
quick=no
case "${1:-}" in
"") ;;
quick) quick=yes ;;
*) echo "usage: scripts/test.sh [quick]" >&2; exit 2 ;;
esac
# The whole-program tests hold port 53 with a few lines of Python; any python3 will do.
python=()
command -v python3 >/dev/null || python=(python3)
bash "$root/scripts/install-packages.sh" g++ cmake make libgtest-dev libgmock-dev bind9-dnsutils bind9-host iproute2 \
    unbound dns-root-data dnsmasq-base "${python[@]}"
jobs=$(nproc)
status=0
variants=(plain address thread)
[ "$quick" = yes ] && variants=(plain)
for variant in "${variants[@]}"; do
    build="$root/build/test-$variant"
    sanitize=$variant
    [ "$variant" = plain ] && sanitize=
    echo "== $variant build"
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DDNS_TESTS=ON -DDNS_WERROR=ON \
        -DDNS_SANITIZE=$sanitize >/dev/null
    cmake --build "$build" -j"$jobs"
    (cd "$build" && ctest --output-on-failure -j"$jobs" --timeout 120) || status=1
done
[ "$quick" = yes ] && exit $status
# The Windows build, cross-compiled with MinGW-w64; its unit tests and the whole program run under Wine.
echo "== windows build"
bash "$root/scripts/install-packages.sh" g++-mingw-w64-x86-64-posix wine64 googletest groff-base unzip
build=$root/build/test-windows
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DDNS_TESTS=ON -DDNS_WERROR=ON >/dev/null
cmake --build "$build" -j"$jobs"
(cd "$build" && WINEDEBUG=-all ctest --output-on-failure -j"$jobs" --timeout 300) || status=1
# The ready zip: both programs, README, the copyright and the man page as text, the version in its name; each
# program with its version, the manifest and (the server) the event log's texts, as Windows reads its resources.
(cd "$build" && rm -f velquorn-dns-*.zip && cpack -G ZIP >/dev/null && unzip -l velquorn-dns-*-windows-*.zip &&
    [ "$(unzip -Z1 velquorn-dns-*-windows-*.zip | grep -c -e '/velquorn-dns.exe$' -e '/velquorn-table.exe$' \
        -e '/README.md$' -e '/velquorn-dns.8.txt$')" = 4 ] &&
    rm -rf unzipped && unzip -q velquorn-dns-*-windows-*.zip -d unzipped &&
    for program in velquorn-dns velquorn-table; do
        x86_64-w64-mingw32-windres -i unzipped/*/$program.exe -O rc >unzipped/$program.rc &&
            [ "$(grep -c -e "VALUE \"ProductVersion\", \"$(sed -n 's/^project(.* VERSION \([0-9.]*\) .*/\1/p' \
                "$root/CMakeLists.txt")\"" -e "VALUE \"OriginalFilename\", \"$program.exe\"" -e '>UTF-8</activeCodePage>' \
                -e '>true</longPathAware>' unzipped/$program.rc)" = 4 ] || exit 1
    done && grep -q RT_MESSAGETABLE unzipped/velquorn-dns.rc) || status=1
# The Debian package: built, linted, installed in a private namespace and started as its unit would start it.
echo "== package"
bash "$root/scripts/install-packages.sh" lintian dpkg-dev man-db systemd util-linux init-system-helpers
(bash "$root/scripts/package.sh" && bash "$root/tests/packaging/package_test.sh" "$root"/build/package/velquorn-dns_*.deb) ||
    status=1
# The fuzz targets, each for a bounded time (DNS_FUZZ_SECONDS, 20 by default; 0 leaves them out).
if [ "${DNS_FUZZ_SECONDS:-20}" -gt 0 ]; then
    echo "== fuzz targets"
    bash "$root/scripts/fuzz.sh" "${DNS_FUZZ_SECONDS:-20}" || status=1
fi
exit $status
