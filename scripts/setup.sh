#!/usr/bin/env bash
# Installs everything the project builds and tests with, from Debian's packages only.
# Idempotent; run as root on Debian 12.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  openjdk-17-jdk-headless
  libicu-dev libsqlite3-dev libssl-dev nlohmann-json3-dev
  googletest libgtest-dev libbenchmark-dev
  libcommons-csv-java
  libxerial-sqlite-jdbc-java libpostgresql-jdbc-java postgresql libpq-dev libhikaricp-java libslf4j-java junit5
  mariadb-server libmariadb-java
  libmicrohttpd-dev libgoogle-perftools-dev libcurl4-openssl-dev chromium python3 wrk nginx-light
)
# The opt-in fuzzing build (docs/fuzzing.md): SETUP_FUZZ=1 ./scripts/setup.sh
if [ "${SETUP_FUZZ:-0}" = 1 ]; then
  packages+=(clang libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
echo "setup: all packages present"
