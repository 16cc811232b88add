#!/usr/bin/env bash
# Entry point for a machine that has nothing but a shell and apt: installs what the build needs
# (make, the compiler, CMake and the libraries listed in scripts/setup.sh), then hands over to
# the Makefile. `./build.sh test` runs the whole test suite, `./build.sh demo` the showcase;
# any other Makefile target works the same way.
set -euo pipefail
cd "$(dirname "$0")"
bash scripts/setup.sh
exec make "${@:-test}"
