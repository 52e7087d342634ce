#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the full suite in the
# default tree, the asan-labelled tests under Address+UndefinedBehavior
# sanitizers, the concurrency tests under ThreadSanitizer, and each fuzz target
# briefly, and clang's lock analysis over every target (the clang tree builds
# everything and runs only the analysis test); the C++ files must be formatted
# as .clang-format says (scripts/check-format) and the tree must follow its
# layout rule (scripts/check-layout); the Debian package of the preset
# "package" is built and its contents checked. Set VLN_QUICK=1 to run the
# default tree only.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps
export JAVA_HOME=/usr/lib/jvm/java-17-openjdk-amd64
jobs=$(nproc)
status=0

run_tree() {  # preset, build target, ctest label filter
  local preset=$1 target=$2 label=$3
  echo "=== $preset ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs" ${target:+--target "$target"}
  local args=(--test-dir "build/$preset" --output-on-failure -j "$jobs" --timeout 600)
  [ -n "$label" ] && args+=(-L "$label")
  ctest "${args[@]}" || status=1
}

run_package() {  # the Debian package of the preset "package", and its checks
  echo "=== package ==="
  cmake --preset package >/dev/null
  rm -f build/package/veltrano-tools_*.deb
  cmake --build --preset package -j "$jobs" --target package
  python3 tests/scripts/package_test.py build/package/veltrano-tools_*.deb || status=1
}

./scripts/check-format || status=1
./scripts/check-layout || status=1
run_tree default "" ""
if [ "${VLN_QUICK:-0}" != 1 ]; then
  run_package
  run_tree clang "" '^analysis$'
  run_tree asan asan_tests '^asan$'
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_tree tsan tsan_tests '^concurrency$'
  run_tree fuzz fuzz_targets '^fuzz$'
fi
exit $status
