#!/usr/bin/env bash
# Installs a build into a temporary prefix and uses the package from there as
# an outside project would: a C++ consumer through find_package(ipm) (and,
# unsanitized, one that adds the source tree as a subdirectory), a C and
# a Fortran consumer through pkg-config, the installed tools and the
# installed Python package, each finding the library by itself.
#
# Usage: consumer_test.sh BUILD_DIR SOURCE_DIR
# Environment: PYTHON (interpreter), IPM_PYTHON_DIR (where the build installs
# the Python package, under the prefix), IPM_SANITIZE (the build's sanitizers),
# IPM_PYTHON_PRELOAD (sanitizer runtime Python must load first), FC (a
# Fortran compiler, optional).
set -euo pipefail

build=${1:?usage: consumer_test.sh BUILD_DIR SOURCE_DIR}
source=${2:?usage: consumer_test.sh BUILD_DIR SOURCE_DIR}
work=$(mktemp -d "${TMPDIR:-/tmp}/ipm-consumer-XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
flags=()
[ -n "${IPM_SANITIZE:-}" ] && flags=("-fsanitize=$IPM_SANITIZE")

step() { echo "== $*"; }

step "install into $prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

step "find_package(ipm)"
cmake -S "$source/tests/consumer" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_FLAGS="${flags[*]}" -DCMAKE_EXE_LINKER_FLAGS="${flags[*]}" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer"

if [ -z "${IPM_SANITIZE:-}" ]; then
  step "add_subdirectory(ipm)"
  cmake -S "$source/tests/consumer" -B "$work/subdirectory" -G Ninja -DIPM_SOURCE_DIR="$source" >/dev/null
  cmake --build "$work/subdirectory" >/dev/null
  "$work/subdirectory/consumer"
fi

step "pkg-config ipm"
pc=$(find "$prefix" -name ipm.pc)
export PKG_CONFIG_PATH=$(dirname "$pc")
read -r -a cflags <<<"$(pkg-config --cflags ipm)"
read -r -a libs <<<"$(pkg-config --libs ipm)"
libdir=$(pkg-config --variable=libdir ipm)
includedir=$(pkg-config --variable=includedir ipm)
# Every installed header compiles with only the installed ones beside it.
(cd "$includedir" && find . -name '*.h' | sed 's|^\./\(.*\)|#include "\1"|') >"$work/all_headers.cpp"
c++ -std=c++20 -fsyntax-only -Wall -Wextra -Werror "${cflags[@]}" "$work/all_headers.cpp"
# As the README builds a program against a prefix off the loader's path.
cc -std=c99 -Wall -Wextra -Werror "${flags[@]}" "${cflags[@]}" "$source/tests/consumer/main.c" "${libs[@]}" \
  -Wl,-rpath,"$libdir" -o "$work/c-consumer"
env -u LD_LIBRARY_PATH "$work/c-consumer"

if [ -n "${FC:-}" ]; then
  step "Fortran module from the package"
  (cd "$work" && "$FC" "${flags[@]}" "$prefix/share/ipm/fortran/ipm_messaging.f90" \
    "$source/examples/fortran_job.f90" "${libs[@]}" -o fortran-consumer)
fi

step "installed tools"
for tool in ipm-listen ipm-job; do
  if ldd "$prefix/bin/$tool" | grep -q "not found"; then
    echo "$tool misses a library:"; ldd "$prefix/bin/$tool"; exit 1
  fi
done
"$prefix/bin/ipm-listen" --help >/dev/null

step "installed Python package"
package=$prefix/${IPM_PYTHON_DIR:?}
[ -f "$package/ipm/__init__.py" ] || { echo "no Python package in $package"; exit 1; }
loaded=$(cd "$work" && env -u IPM_LIBRARY PYTHONPATH="$package" LD_PRELOAD="${IPM_PYTHON_PRELOAD:-}" ASAN_OPTIONS=detect_leaks=0 \
  "${PYTHON:-python3}" -c 'import ipm, ipm._library; print(ipm._library.library._name); print(ipm.count_format_values("a=%i"))')
echo "$loaded"
case "$loaded" in
  "$prefix"/*"(1, 0, 0)") ;;
  *) echo "the installed package did not load the installed library"; exit 1 ;;
esac
echo "consumers built and run"
