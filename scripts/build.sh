#!/usr/bin/env bash
# Configures and builds everything into ./build (or $BUILD_DIR), optimised by a profile of the
# server's own work: the server is first built to count what it does and run through
# scripts/train_profile.sh, then everything is compiled with those counts. The profile is kept in
# <build>/profile and trained again only when the C and C++ sources have changed since.
# QJAPI_PROFILE=off builds without a profile (quicker while editing); compilers other than gcc
# build without one.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
launcher=()
# Rebuilds of several checkouts share compiled objects when ccache is installed (it is optional).
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
configure() { cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" "$@" >/dev/null; }

profile=-DQJAPI_PROFILE=
if [ "${QJAPI_PROFILE:-on}" != off ] && "${CXX:-c++}" --version 2>/dev/null | grep -q "Free Software Foundation"; then
  # The sources the profile was counted on: a changed function would be compiled without its counts.
  sources=$(find host startup tags bridge datasource service platform -type f \( -name '*.cpp' -o -name '*.h' \) \
    -print0 | sort -z | xargs -0 cat | sha1sum | cut -d' ' -f1)
  if [ "$(cat "$build/profile/trained" 2>/dev/null)" != "$sources" ]; then
    rm -rf "$build/profile"
    configure -DQJAPI_PROFILE=generate "$@"
    # The server, the module and what the training's scripts load.
    cmake --build "$build" -j"$(nproc)" --target quill QJAPI QJAPIJar QuillSlf4jJar JDBCConnectorJar \
      HelloTagsJar CsvDataSourceJar MoneyTypeJar ServiceTagsJar WebTagsJar ExampleWeb
    if timeout 900 ./scripts/train_profile.sh "$build"; then
      echo "$sources" > "$build/profile/trained"
    else
      echo "build.sh: training the profile failed; building without one" >&2
      rm -rf "$build/profile"
    fi
  fi
  [ -f "$build/profile/trained" ] && profile=-DQJAPI_PROFILE=use
fi
configure "$profile" "$@"
cmake --build "$build" -j"$(nproc)"
