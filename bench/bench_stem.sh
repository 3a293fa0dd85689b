#!/usr/bin/env bash
# Builds and runs the stemming benchmark (on demand only; never part of the
# test command). Installs the peer C stemming library when it is missing.
# Usage: bench/bench_stem.sh [code ...]
set -euo pipefail
cd "$(dirname "$0")/.."
if ! [ -f /usr/include/libstemmer.h ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq || true
  apt-get install -y -qq --no-install-recommends libstemmer-dev >/dev/null
fi
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/bench -j2 --target vrim_analysis >/dev/null
g++ -std=c++20 -O2 -Wall -Wextra -Isrc bench/bench_stem.cc build/bench/libvrim_analysis.a \
  -lstemmer -o build/bench/bench_stem
build/bench/bench_stem "${VOCAB_DIR:-../shared/snowball-vocab}" "$@"
