#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need.
# Idempotent: packages already installed are left alone, and apt is touched
# only when something is missing.
set -euo pipefail

pkgs=(
  build-essential cmake g++ make pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  liblz4-dev libsqlite3-dev sqlite3
  libprotobuf-dev protobuf-compiler
  rapidjson-dev zlib1g-dev
  libpq-dev
  clang libclang-rt-14-dev
  # benchmarks only: the allocators that bench_alloc compares the pool with
  libmimalloc-dev libjemalloc-dev
)

missing=()
for p in "${pkgs[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
