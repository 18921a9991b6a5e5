# Sourced by the benchmark scripts: the Release builds they compare. Needs
# $root (the checkout) and $jobs.

# Builds the given targets of this checkout in build-rel/ (Release, benchmark
# tools on, warnings as errors).
build_release() {
  cmake -S "$root" -B "$root/build-rel" -DCMAKE_BUILD_TYPE=Release -DTEV_BENCH=ON \
    -DTEV_WERROR=ON >/dev/null
  cmake --build "$root/build-rel" -j"$jobs" --target "$@" >/dev/null
}

# Builds the agent as it was at revision $1 (Release, from a git archive of
# that revision) under build-before/ and prints the path of its binary.
build_before_agent() {
  local rev=$1 src=$root/build-before/src
  rm -rf "$src"
  mkdir -p "$src"
  git -C "$root" archive "$rev" | tar -x -C "$src"
  cmake -S "$src" -B "$root/build-before/bin" -DCMAKE_BUILD_TYPE=Release -DTEV_BENCH=OFF \
    -DTEV_WERROR=OFF >/dev/null
  cmake --build "$root/build-before/bin" -j"$jobs" --target tev >/dev/null
  echo "$root/build-before/bin/tev"
}
