#!/usr/bin/env bash
# The Debian packages, end to end: builds them (make package), checks what each holds
# and that lintian finds nothing beyond the warnings docs/PACKAGING.md explains, installs
# them with apt, builds a C provider with pkg-config and C and C++ providers with
# find_package(CpClient) against /usr, runs them and a Python provider (Debian's python3,
# an empty environment) under /usr/bin/agentemu, then purges the packages and checks that
# nothing of them is left. Changes the system: run it as root on a machine for tests.
set -euo pipefail
cd "$(dirname "$0")/../.."
here=$PWD/tests/package
packages=(libcpclient1 libcpclient-dev python3-cpclient cpclient-tools)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
lib=/usr/lib/$multiarch
work=$(mktemp -d "${TMPDIR:-/tmp}/cpclient-debian.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
purge() { DEBIAN_FRONTEND=noninteractive apt-get purge -y "$@" >"$work/purge.log" || { cat "$work/purge.log"; fail "purge failed"; }; }

installed=()
for p in "${packages[@]}"; do dpkg -s "$p" >/dev/null 2>&1 && installed+=("$p"); done
[ ${#installed[@]} -eq 0 ] || { echo "== purging ${installed[*]} left from an earlier run"; purge "${installed[@]}"; }

echo "== make package"
make package >"$work/package.log" 2>&1 || { tail -50 "$work/package.log"; fail "make package failed"; }
version=$(sed -n 's/^project(cpclient VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
debs=()
for p in "${packages[@]}"; do
  deb=$(ls build-deb/packages/"${p}_${version}"-*.deb) || fail "no package $p of version $version"
  debs+=("./$deb")
done

echo "== contents"
# Every regular file and link of a package, as it would be installed.
contents() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { print substr($6, 2) }' | sort; }
doc() { printf '/usr/share/doc/%s/%s\n' "$1" changelog.Debian.gz "$1" copyright; }
expect_contents() {
  local deb=$1
  shift
  printf '%s\n' "$@" | sort >"$work/expected"
  contents "$deb" | diff -u --label "expected" "$work/expected" --label "$deb" - || fail "$deb holds other files"
}
expect_contents "${debs[0]}" $(doc libcpclient1) "$lib/libcpclient.so.1" "$lib/libcpclient.so.1.0.0"
expect_contents "${debs[1]}" $(doc libcpclient-dev) /usr/include/cpclient.h /usr/include/cpclient.hpp \
  $(printf "/usr/include/cpclient/%s.hpp\n" errors provider request rows service values) \
  "$lib/libcpclient.so" "$lib/pkgconfig/cpclient.pc" /usr/share/man/man3/cpclient.3.gz /usr/share/man/man3/cpclient++.3.gz \
  $(printf "$lib/cmake/CpClient/%s\n" CpClientConfig.cmake CpClientConfigVersion.cmake CpClientTargets.cmake \
    CpClientTargets-relwithdebinfo.cmake) \
  $(find examples -type f ! -path '*__pycache__*' | sed 's|^|/usr/share/doc/libcpclient-dev/|')
expect_contents "${debs[2]}" $(doc python3-cpclient) \
  $(cd python && find cpclient -name '*.py' -o -name py.typed | sed 's|^|/usr/lib/python3/dist-packages/|')
expect_contents "${debs[3]}" $(doc cpclient-tools) /usr/bin/agentemu /usr/share/man/man1/agentemu.1.gz
# Whole, before matching: grep -q closing the pipe early would fail the pipeline.
grep -q "libcpclient.so.1 -> libcpclient.so.1.0.0$" <<<"$(dpkg-deb -c "${debs[0]}")" || fail "libcpclient.so.1 links elsewhere"
grep -q "libcpclient.so -> libcpclient.so.1$" <<<"$(dpkg-deb -c "${debs[1]}")" || fail "libcpclient.so links elsewhere"
[ "$(dpkg-deb --ctrl-tarfile "${debs[0]}" | tar xO ./shlibs)" = "libcpclient 1 libcpclient1 (>= $version-1)" ] ||
  fail "libcpclient1's shlibs file is not the SONAME's"
grep -q "libcpclient1 (= $version-" <<<"$(dpkg-deb -f "${debs[2]}" Depends)" || fail "python3-cpclient does not depend on libcpclient1"
grep -q "libexpat1" <<<"$(dpkg-deb -f "${debs[3]}" Depends)" || fail "cpclient-tools has no dependencies from its binary"

echo "== lintian"
lintian --fail-on error,warning --suppress-tags initial-upload-closes-no-bugs,maintscript-calls-ldconfig "${debs[@]}" ||
  fail "lintian: an error, or a warning that docs/PACKAGING.md does not explain"

echo "== install"
DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${debs[@]}" >"$work/install.log" ||
  { cat "$work/install.log"; fail "apt-get install failed"; }
for p in "${packages[@]}"; do dpkg -L "$p"; done | sort -u | while read -r path; do
  [ -d "$path" ] || echo "$path"
done >"$work/files"
ls /usr/lib/python3/dist-packages/cpclient/__pycache__/*.pyc >/dev/null || fail "postinst did not byte-compile the modules"
[ "$(man -w 3 cpclient)" = /usr/share/man/man3/cpclient.3.gz ] || fail "man does not find cpclient(3)"

echo "== build against /usr"
cc -std=c11 -Wall -Wextra -pedantic -Werror "$here/outside_provider.c" $(pkg-config --cflags --libs cpclient) \
  -o "$work/provider-pkgconfig"
cmake -S "$here/consumer" -B "$work/consumer" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >"$work/consumer.log" ||
  { cat "$work/consumer.log"; fail "configuring the find_package consumer failed"; }
grep -q "^CpClient_DIR:PATH=$lib/cmake/CpClient$" "$work/consumer/CMakeCache.txt" || fail "find_package found CpClient elsewhere"
cmake --build "$work/consumer" >"$work/consumer-build.log" || { cat "$work/consumer-build.log"; fail "building the consumer failed"; }
cp "$here/outside_provider.py" "$work/"

for provider in "$work/provider-pkgconfig" "$work/consumer/outside_provider" "$work/consumer/outside_provider_cxx" \
  "/usr/bin/python3 $work/outside_provider.py"; do
  echo "== /usr/bin/agentemu against $provider"
  if [ "${provider#/usr/bin/python3}" = "$provider" ]; then
    grep -Eq "libcpclient.so.1 => (/usr)?/lib/$multiarch/libcpclient.so.1 " <<<"$(ldd "$provider")" || fail "$provider loads another library"
  fi
  # shellcheck disable=SC2086 # the Python provider is two words
  (cd "$work" && env -i PATH=/usr/bin:/bin /usr/bin/agentemu --json --rounds 1 --task "echo package" -- $provider) \
    >"$work/run.json" || { cat "$work/run.json"; fail "agentemu reported a failed conversation with $provider"; }
  grep -q '"type":"data","id":"[0-9]*","group":"Outside[A-Za-z]*","rows":\[\["outside","1"\]\]' "$work/run.json" ||
    fail "$provider did not answer its row"
done

echo "== purge"
purge "${packages[@]}"
for p in "${packages[@]}"; do
  ! dpkg -s "$p" >/dev/null 2>&1 || fail "$p is still known to dpkg"
done
while read -r path; do
  [ ! -e "$path" ] && [ ! -L "$path" ] || fail "$path outlived the purge"
  ! dpkg -S "$path" >/dev/null 2>&1 || fail "dpkg still knows $path"
done <"$work/files"
for dir in /usr/lib/python3/dist-packages/cpclient "$lib/cmake/CpClient" /usr/share/doc/libcpclient-dev; do
  [ ! -e "$dir" ] || fail "$dir outlived the purge"
done
echo "Debian packages: contents, lintian, builds against /usr, four providers under agentemu, clean purge"
