#!/usr/bin/env bash
# Every fuzz target (tests/fuzz, run by scripts/fuzz) runs a few seconds under ASan and UBSan
# from its seeds and stored corpus, and finds nothing.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
"$repo/scripts/fuzz" "${LUMO_FUZZ_SECONDS:-5}"
