#!/usr/bin/env bash
# The main job: set up, build the ready server root, start the bridge and run the example scripts.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
./scripts/build.sh
./build/bin/quill run examples/hello.qs
./build/bin/quill run examples/services.qs
./build/bin/quill run examples/csv.qs
./build/bin/quill run examples/jdbc.qs
./build/bin/quill run examples/money.qs
