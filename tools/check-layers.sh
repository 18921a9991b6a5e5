#!/usr/bin/env bash
# Checks that the agent's modules depend on each other one way only: no
# circle between file pairs (a module is a .h/.cpp pair) and no arrow from a
# lower directory to a higher one. Layers, lowest first:
#   core  platform  protocol  config  handlers  agent
# An arrow is an #include of a project header, or a call: a symbol one
# module's object file uses and another's defines (so a function declared
# in one file and defined in another's .cpp is seen too). Prints every
# circle and every upward arrow; exit code 1 if there is any.
#
# It also compares the arrows between the modules of agent/ with the block
# between the lines "<!-- agent-graph -->" and "<!-- /agent-graph -->" in
# ARCHITECTURE.md, so that the picture there cannot drift from the code: a
# difference is printed and fails the check too. With --graph it only
# prints that block: one line per module of agent/, highest first, with
# the modules of agent/ it uses and, after "|", the lower directories.
#
#   tools/check-layers.sh [--graph] [BUILD_DIR]   (default build/; built when missing)
set -euo pipefail
cd "$(dirname "$0")/.."
mode=check
if [ "${1:-}" = --graph ]; then
  mode=graph
  shift
fi
build=${1:-build}
objdir=$build/CMakeFiles/tevlib.dir
if [ ! -d "$objdir" ]; then
  cmake -S . -B "$build" >/dev/null
fi
cmake --build "$build" --target tevlib -j"$(nproc)" >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Include arrows.
for f in $(git ls-files 'core/*' 'platform/*' 'protocol/*' 'config/*' 'handlers/*' 'agent/*' |
    grep -E '\.(h|cpp)$'); do
  from=${f%.*}
  { grep -oE '^#include "[^"]+"' "$f" || true; } | sed -E 's/#include "(.*)"/\1/' | while read -r inc; do
    to=${inc%.*}
    if [ "$to" != "$from" ] && [ -f "$inc" ]; then echo "$from $to"; fi
  done
done >"$work/arrows"

# Call arrows, from the library's object files.
# Only the objects of sources in the tree: a build directory keeps the
# object of a file that was removed or renamed since.
objects=$(find "$objdir" -name '*.cpp.o' | sort | while read -r o; do
  src=${o#"$objdir"/}
  if [ -n "$(git ls-files -- "${src%.o}")" ]; then echo "$o"; fi
done)
for o in $objects; do
  m=${o#"$objdir"/}
  m=${m%.cpp.o}
  nm --defined-only -g "$o" | awk -v m="$m" 'NF == 3 && $2 ~ /[TDBRVWu]/ {print $3, m}'
done | sort -u >"$work/defined"
for o in $objects; do
  m=${o#"$objdir"/}
  m=${m%.cpp.o}
  nm -u "$o" | awk -v m="$m" '{print $2, m}'
done | sort -u >"$work/used"
# A weak or inline symbol defined in several objects is no arrow.
awk '{print $1}' "$work/defined" | uniq -d >"$work/shared"
join -v1 "$work/defined" "$work/shared" >"$work/owned"
join "$work/used" "$work/owned" | awk '$2 != $3 {print $2, $3}' >>"$work/arrows"
sort -u "$work/arrows" -o "$work/arrows"

# The agent/ graph: each module of agent/, highest first (in the order tsort
# gives for the sorted arrows), its arrows to agent/ modules and, after "|", the
# lower directories it uses.
agent_graph() {
  local order
  order=$({ tsort "$work/arrows" 2>/dev/null || true; } | grep '^agent/' | awk '{print NR, $0}')
  while read -r pos m; do
    local inner lower
    inner=$(awk -v m="$m" '$1 == m && $2 ~ /^agent\// {sub(/^agent\//, "", $2); print $2}' \
      "$work/arrows" | sort -u | tr '\n' ' ')
    lower=$(awk -v m="$m" '$1 == m && $2 !~ /^agent\// {sub(/\/.*/, "/", $2); print $2}' \
      "$work/arrows" | sort -u | tr '\n' ' ')
    printf '%s %-15s -> %s| %s\n' "$pos" "${m#agent/}" "$inner" "$lower"
  done <<<"$order" | sort -n | cut -d' ' -f2- | sed 's/ *$//'
}
if [ "$mode" = graph ]; then
  agent_graph
  exit 0
fi

status=0
agent_graph >"$work/graph"
sed -n '/^<!-- agent-graph -->$/,/^<!-- \/agent-graph -->$/p' ARCHITECTURE.md |
  sed '1d;$d' | grep -v '^```' | sed 's/^    //' >"$work/documented"
if ! diff -u "$work/documented" "$work/graph" >"$work/graph.diff"; then
  echo "ARCHITECTURE.md's agent/ graph differs from the code (- documented, + computed):"
  tail -n +3 "$work/graph.diff"
  status=1
fi
if ! tsort "$work/arrows" >/dev/null 2>"$work/loops"; then
  echo "Circles between modules (each group below is part of one):"
  grep -v 'input contains a loop' "$work/loops" | sed 's/^tsort: /  /'
  status=1
fi
rank() {
  case "${1%%/*}" in
    core) echo 0 ;; platform) echo 1 ;; protocol) echo 2 ;;
    config) echo 3 ;; handlers) echo 4 ;; agent) echo 5 ;; *) echo 9 ;;
  esac
}
while read -r from to; do
  if [ "$(rank "$from")" -lt "$(rank "$to")" ]; then
    echo "Upward arrow: $from -> $to"
    status=1
  fi
done <"$work/arrows"
if [ $status -eq 0 ]; then
  echo "No circle and no upward arrow among $(cut -d' ' -f1 "$work/arrows" | sort -u | wc -l) modules."
fi
exit $status
