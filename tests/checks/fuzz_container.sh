#!/usr/bin/env bash
# A short libFuzzer run over the container code under ASan and UBSan finds nothing.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
"$repo/scripts/fuzz" "${LUMO_FUZZ_SECONDS:-15}"
