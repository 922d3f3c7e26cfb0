#!/bin/sh
# Installs what is missing, checks the formatting, then builds and runs every
# test three ways: warnings as errors, ASan+UBSan, and TSan for the code that
# runs on more than one thread.
set -eu
cd "$(dirname "$0")/.."
JOBS=${JOBS:-2}

tools/deps.sh

echo "== format"
git ls-files '*.h' '*.cpp' | xargs clang-format --dry-run --Werror

echo "== build and test (warnings as errors)"
cmake -S . -B build -G Ninja -DZANTREL_WERROR=ON >/dev/null
cmake --build build -j"$JOBS"
ctest --test-dir build --output-on-failure -j"$JOBS"

echo "== build and test (ASan+UBSan)"
cmake -S . -B build-asan -G Ninja -DZANTREL_WERROR=ON -DZANTREL_BENCH=OFF \
  -DZANTREL_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-asan -j"$JOBS"
ctest --test-dir build-asan --output-on-failure -j"$JOBS"

echo "== build and test (TSan, threaded code)"
cmake -S . -B build-tsan -G Ninja -DZANTREL_WERROR=ON -DZANTREL_BENCH=OFF \
  -DZANTREL_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-tsan -j"$JOBS"
ctest --test-dir build-tsan --output-on-failure -j"$JOBS" -L tsan
