#!/usr/bin/env bash
# Makes its own virtual environment with vok (built from this checkout) and
# the peer scanners from PyPI, writes the JASPAR matrices, then runs
# compare.py (or the script named by PEERS_SCRIPT) with any arguments given, e.g.
#   bash bench/peers/run.sh --sets 1,10 --rounds 3
# or, with `variants` first, compare_variants.py (variant effects):
#   bash bench/peers/run.sh variants --rounds 3
#   PEERS_SCRIPT=enrich_compare.py bash bench/peers/run.sh build/bench-enrich
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
env_dir="${PEERS_ENV:-build/peers-venv}"
python="${PYTHON:-python3}"
if [[ ! -x "$env_dir/bin/python" ]]; then
  "$python" -m venv "$env_dir"
fi
"$env_dir/bin/python" -m pip install --quiet moods-python lightmotif pymemesuite biopython pyjaspar numpy scipy
"$env_dir/bin/python" -m pip install --quiet ".[variants,pandas]"
matrices=build/jaspar2024_core_vertebrates.transfac
families=build/jaspar2024_core_vertebrates.families.tsv
[[ -s "$matrices" && -s "$families" ]] || "$env_dir/bin/python" bench/jaspar_matrices.py "$matrices" "$families"
script="${PEERS_SCRIPT:-compare.py}"
if [[ "${1:-}" == variants ]]; then
  script=compare_variants.py
  shift
fi
exec "$env_dir/bin/python" "bench/peers/$script" "$matrices" "$@"
