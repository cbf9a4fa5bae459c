#!/usr/bin/env bash
# Installs the build tree into a temporary prefix, builds outside_provider.c
# against the installed library once with pkg-config and once with
# find_package(CpClient), builds the C++ outside_provider.cpp with find_package
# and again with the source tree added by add_subdirectory (which must build no
# test, keep its binaries in its own folder and give CpClient::cpclient), and runs
# each build against the installed agentemu. Writes only into the build tree
# (install_manifest.txt) and a temporary folder that it removes. Exits 77
# (skipped) after the builds when the tree builds no agentemu. Arguments after the
# ninth are compiler and linker flags for the outside builds (the sanitizers of a
# sanitized library).
set -euo pipefail
if [ $# -lt 9 ]; then
  echo "usage: $0 BUILD_DIR CONFIG LIBDIR CMAKE GENERATOR CC CXX SOURCE_DIR AGENTEMU_BUILT [FLAG...]" >&2
  exit 2
fi
build=$1 config=$2 libdir=$3 cmake=$4 generator=$5 cc=$6 cxx=$7 source=$8 agentemu_built=$9
shift 9
flags=("$@")
here=$(cd "$(dirname "$0")" && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/cpclient-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

echo "== install into $prefix"
"$cmake" --install "$build" --prefix "$prefix" ${config:+--config "$config"} >"$work/install.log" ||
  { cat "$work/install.log" >&2; fail "cmake --install failed"; }
for file in include/cpclient.h include/cpclient.hpp "$libdir/libcpclient.so.1.0.0" "$libdir/pkgconfig/cpclient.pc" \
  "$libdir/cmake/CpClient/CpClientConfig.cmake" "$libdir/cmake/CpClient/CpClientConfigVersion.cmake" \
  share/man/man3/cpclient.3 share/man/man3/cpclient++.3 share/doc/cpclient/examples/minimal/provider.c; do
  [ -f "$prefix/$file" ] || fail "$file was not installed"
done
[ "$agentemu_built" = 0 ] || [ -f "$prefix/share/man/man1/agentemu.1" ] || fail "agentemu(1) was not installed"
[ "$(readlink "$prefix/$libdir/libcpclient.so.1")" = libcpclient.so.1.0.0 ] ||
  fail "libcpclient.so.1 does not link to libcpclient.so.1.0.0"
[ "$(readlink "$prefix/$libdir/libcpclient.so")" = libcpclient.so.1 ] ||
  fail "libcpclient.so does not link to libcpclient.so.1"

# A provider must load the installed library, not the one in the build tree.
check_links_installed() {
  local loads
  loads=$(ldd "$1") # whole, before matching: grep -q closing the pipe early would fail the pipeline
  grep -q "libcpclient.so.1 => $prefix/" <<<"$loads" || { echo "$loads" >&2; fail "$1 does not load $prefix's libcpclient.so.1"; }
}

echo "== build with pkg-config"
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
[ "$(pkg-config --modversion cpclient)" = 1.0.0 ] || fail "pkg-config does not report version 1.0.0"
# shellcheck disable=SC2046 # the flags are meant to split into words
"$cc" -std=c11 -Wall -Wextra -pedantic -Werror "${flags[@]}" "$here/outside_provider.c" -o "$work/provider-pkgconfig" \
  $(pkg-config --cflags --libs cpclient) -Wl,-rpath,"$(pkg-config --variable=libdir cpclient)"
check_links_installed "$work/provider-pkgconfig"

echo "== build with find_package(CpClient)"
consumer_flags=(-G "$generator" -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_C_FLAGS="${flags[*]}"
  -DCMAKE_CXX_FLAGS="${flags[*]}" -DCMAKE_EXE_LINKER_FLAGS="${flags[*]}" -DCMAKE_SHARED_LINKER_FLAGS="${flags[*]}")
"$cmake" -S "$here/consumer" -B "$work/consumer" "${consumer_flags[@]}" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >"$work/consumer.log" ||
  { cat "$work/consumer.log" >&2; fail "configuring the find_package consumer failed"; }
grep -q "^CpClient_DIR:PATH=$prefix/" "$work/consumer/CMakeCache.txt" ||
  fail "find_package(CpClient) found a package outside $prefix"
"$cmake" --build "$work/consumer" >"$work/consumer-build.log" ||
  { cat "$work/consumer-build.log" >&2; fail "building the find_package consumer failed"; }
check_links_installed "$work/consumer/outside_provider"
check_links_installed "$work/consumer/outside_provider_cxx"

echo "== build with add_subdirectory"
sub=$work/subdirectory
"$cmake" -S "$here/consumer" -B "$sub" "${consumer_flags[@]}" -DCPCLIENT_SOURCE="$source" >"$work/sub.log" ||
  { cat "$work/sub.log" >&2; fail "configuring the add_subdirectory consumer failed"; }
targets=$("$cmake" --build "$sub" --target help)
if grep -E '(fuzz_|_tests|gtest|test_provider)' <<<"$targets"; then
  fail "the subproject defines test or fuzz targets with its tests off"
fi
sub_targets=(outside_provider_cxx)
[ "$agentemu_built" = 1 ] && sub_targets+=(agentemu)
"$cmake" --build "$sub" -j2 --target "${sub_targets[@]}" >"$work/sub-build.log" ||
  { cat "$work/sub-build.log" >&2; fail "building the add_subdirectory consumer failed"; }
grep -q "libcpclient.so.1 => $sub/cpclient/" <<<"$(ldd "$sub/outside_provider_cxx")" ||
  fail "the add_subdirectory provider does not load the subproject's library"
if [ "$agentemu_built" = 1 ]; then
  [ -x "$sub/cpclient/agentemu" ] && [ ! -e "$sub/agentemu" ] || fail "agentemu left the subproject's build folder"
fi

agentemu=$prefix/bin/agentemu
if [ ! -x "$agentemu" ]; then
  [ "$agentemu_built" = 1 ] && fail "agentemu is built in this tree but was not installed"
  echo "SKIPPED: this tree builds no agentemu yet; both providers built but were not run"
  exit 77
fi
for provider in "$work/provider-pkgconfig" "$work/consumer/outside_provider" "$work/consumer/outside_provider_cxx" \
  "$sub/outside_provider_cxx"; do
  echo "== run $(basename "$provider") against agentemu"
  "$agentemu" --rounds 1 --task "echo package" -- "$provider" || fail "agentemu reported a failed conversation with $provider"
done
echo "installed tree and subproject: every build ran cleanly against agentemu"
