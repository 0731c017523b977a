#!/usr/bin/env bash
# Draws docs/libraries.svg, the map of the program's libraries and what each
# links, from CMake's own --graphviz output of a fresh configure, so the map
# is the build's. The layer check (scripts/layers.py) fails when the map and
# the build differ; run this then. Needs graphviz (apt-get install graphviz).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
command -v dot >/dev/null || { echo "libraries-map: dot is missing: apt-get install graphviz" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The program's libraries alone: not the programs, the tests or what comes
# from outside (every library links Qt Core; scripts/layers.py checks the rest).
cat >"$work/CMakeGraphVizOptions.cmake" <<'OPTIONS'
set(GRAPHVIZ_GRAPH_NAME "libraries")
set(GRAPHVIZ_EXECUTABLES FALSE)
set(GRAPHVIZ_MODULE_LIBS FALSE)
set(GRAPHVIZ_EXTERNAL_LIBS FALSE)
set(GRAPHVIZ_GENERATE_PER_TARGET FALSE)
set(GRAPHVIZ_GENERATE_DEPENDERS FALSE)
set(GRAPHVIZ_IGNORE_TARGETS "^tst_|^bench_|^fuzz_")
OPTIONS
cmake -S "$root" -B "$work" -G Ninja -DBUILD_TESTING=OFF -DTARVIK_BENCH=OFF \
    --graphviz="$work/libraries.dot" >/dev/null
# Without CMake's legend of target kinds (all are static libraries), and
# without the links a longer path already shows (tred), so each layer reads
# as what it adds.
sed '/^subgraph clusterLegend {/,/^}/d' "$work/libraries.dot" | tred \
    | dot -Grankdir=BT -Nshape=box -Nfontname=sans -Tsvg -o "$root/docs/libraries.svg"
echo "wrote docs/libraries.svg"
