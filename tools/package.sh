#!/usr/bin/env bash
# Makes the shipped packages into out/ (emptied first), for x86-64 and arm64:
#   tev_<v>_amd64.deb  tev-<v>-1.x86_64.rpm   tev-<v>-linux-x86_64.tar.gz
#   tev_<v>_arm64.deb  tev-<v>-1.aarch64.rpm  tev-<v>-linux-aarch64.tar.gz
# and two repository folders that a web or file server can offer as they are:
#   out/apt/  flat apt repository (apt-ftparchive): deb [trusted=yes] file:/PATH/out/apt ./
#   out/yum/  yum/dnf repository (createrepo_c):   baseurl=file:///PATH/out/yum
# The programs are static (no library of the host is loaded), built with
# only what ships: tev, tevctl, tevproc and the man pages, no tests, in
# build-package-<arch>/. lintian checks the .debs and rpmlint the .rpms;
# a line that is neither explained (packaging/lintian-overrides,
# packaging/rpm/rpmlintrc) nor a plain information fails the run.
# Installs what it needs (tools/deps.sh package). TEV_PACKAGE_ARCHS narrows
# the targets (default "x86_64 aarch64").
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh package
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "package.sh: no CPACK_PACKAGE_VERSION in CMakeLists.txt" >&2; exit 1; }
out=$PWD/out
rm -rf "$out"
mkdir -p "$out"
jobs=$(nproc)
# One time for every file in the archives: the last commit's, or now.
epoch=$(git log -1 --format=%ct 2>/dev/null || date +%s)

# Every shipped program must be static: `file` says so.
check_static() {  # program...
  local program description
  for program in "$@"; do
    description=$(file -b "$program")
    case $description in
      *"statically linked"* | *"static-pie linked"*) ;;
      *) echo "package.sh: $program is not static: $description" >&2; exit 1 ;;
    esac
  done
}

build_arch() {  # x86_64 | aarch64
  local arch=$1 dir=build-package-$1 args=()
  local deb_arch=amd64
  case $arch in
    x86_64) ;;
    aarch64) args+=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-aarch64.cmake"); deb_arch=arm64 ;;
    *) echo "package.sh: unknown architecture '$arch' (x86_64, aarch64)" >&2; exit 2 ;;
  esac
  echo "== $arch: build (static, what ships only)"
  # Configured anew each time: what ships depends on these options alone,
  # never on a value an earlier run left in the cache.
  rm -f "$dir/CMakeCache.txt"
  # shellcheck disable=SC2086
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DTEV_STATIC=ON -DTEV_TESTS=OFF \
    -DTEV_BENCH=OFF -DTEV_WERROR=ON -DCMAKE_INSTALL_PREFIX=/usr "${args[@]}" \
    ${TEV_PACKAGE_CMAKE_ARGS:-} >/dev/null
  cmake --build "$dir" -j"$jobs" --target tev tevctl tevproc manpages
  check_static "$dir/tev" "$dir/tevctl" "$dir/libexec/tev/tevproc"

  echo "== $arch: .deb"
  rm -f "$dir"/tev_*.deb
  (cd "$dir" && cpack -G DEB >/dev/null)
  mv "$dir/tev_${version}_${deb_arch}.deb" "$out/"

  # The installed tree, stripped, for the .rpm and the tarball.
  local stage=$PWD/$dir/stage
  rm -rf "$stage"
  DESTDIR=$stage cmake --install "$dir" --strip >/dev/null

  echo "== $arch: .rpm"
  local top=$PWD/$dir/rpm
  rm -rf "$top"
  mkdir -p "$top"
  rpmbuild -bb --quiet --target "$arch" --define "_topdir $top" --define "tev_version $version" \
    --define "tev_stage $stage" --define "_rpmdir $top/RPMS" packaging/rpm/tev.spec >/dev/null
  mv "$top/RPMS/$arch/tev-$version-1.$arch.rpm" "$out/"

  echo "== $arch: tarball"
  local name=tev-$version-linux-$arch
  local tree=$PWD/$dir/$name
  rm -rf "$tree"
  mkdir -p "$tree"
  cp -a "$stage/." "$tree/"
  rm -rf "$tree/usr/share/lintian"
  cp packaging/INSTALL "$tree/INSTALL"
  tar -C "$dir" --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$epoch" \
    -czf "$out/$name.tar.gz" "$name"
}

for arch in ${TEV_PACKAGE_ARCHS:-x86_64 aarch64}; do
  build_arch "$arch"
done

echo "== repositories"
mkdir -p "$out/apt" "$out/yum"
cp "$out"/*.deb "$out/apt/"
(cd "$out/apt" && apt-ftparchive packages . >Packages && gzip -9nk Packages &&
  apt-ftparchive -o APT::FTPArchive::Release::Origin=tev -o APT::FTPArchive::Release::Label=tev \
    release . >Release)
cp "$out"/*.rpm "$out/yum/"
createrepo_c --quiet "$out/yum"

echo "== lintian"
status=0
# Information lines (I:) and pedantic ones are not asked for; warnings and
# errors without an override in the package fail.
lintian --fail-on error,warning "$out"/*.deb || status=1
echo "== rpmlint"
rpmlint --rpmlintrc packaging/rpm/rpmlintrc "$out"/*.rpm || status=1

echo "== out/"
(cd "$out" && find . -maxdepth 1 -type f -printf '%f\t%s\n' | sort)
exit $status
