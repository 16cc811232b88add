#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the benchmarks and the demo need,
# and nothing else. Packages already present are left alone, so a second run is quick.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libopenblas-serial-dev                 # dense kernels: single-threaded OpenBLAS with LAPACK
  libcminpack-dev                        # Levenberg-Marquardt building blocks
  libsuitesparse-dev                     # sparse LU numerics (UMFPACK, AMD, COLAMD)
  libsleef-dev                           # vector exponential
  libgtest-dev libbenchmark-dev          # unit tests and benchmarks
  libxml2-dev                            # checks that the demo report is well-formed XML
  libeigen3-dev                          # independent reference in tests, peer in benchmarks
  libnlopt-dev libalglib-dev             # peers in benchmarks only
  libgsl-dev                             # independent reference in tests, peer in benchmarks
  libboost-math-dev libceres-dev         # peers in benchmarks only
  clang libclang-rt-dev                  # libFuzzer targets, built and smoke-run by make test
  valgrind                               # memcheck of the example programs (CTest label memcheck)
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
