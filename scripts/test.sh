#!/usr/bin/env bash
# Builds and runs every test (the JVM tests run twice: plainly and under -Xcheck:jni).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
./scripts/build.sh
cd "${BUILD_DIR:-build}"
ctest --output-on-failure -j2 --timeout 900
