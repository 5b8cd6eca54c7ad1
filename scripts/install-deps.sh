#!/usr/bin/env bash
# Installs the Debian packages the programs, the build, the tests, the fuzz
# targets and the benchmarks need, and nothing else.
# Idempotent: packages already installed are left alone, and apt is touched
# only when something is missing.
set -euo pipefail

# What the installed programs run on (the .deb depends on these too) and
# what the demo reads the database with.
runtime=(
  liblz4-1 libsqlite3-0 libpq5 zlib1g
  sqlite3
)
# What building, testing and benchmarking need.
development=(
  build-essential cmake g++ make pkg-config
  liblz4-dev libsqlite3-dev zlib1g-dev
  # the PostgreSQL backend of the client library; the server binaries (and
  # psql) that tests, benchmarks and make demo DB=postgresql run throwaway
  # servers with (no cluster of the system is used)
  libpq-dev postgresql
  # tests: GoogleTest, and Google's protobuf as the oracle of our codec
  libgtest-dev libprotobuf-dev protobuf-compiler
  # tests of the package: dpkg-shlibdeps, and systemd-analyze for the unit
  dpkg-dev systemd
  # tests of the metrics file: promtool
  prometheus
  # make fuzz: clang with libFuzzer
  clang libclang-rt-14-dev
  # make bench: Google Benchmark, and the JSON reader and allocators it
  # compares ours with
  libbenchmark-dev rapidjson-dev libmimalloc-dev libjemalloc-dev
)
pkgs=("${runtime[@]}" "${development[@]}")

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
