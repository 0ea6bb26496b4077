#!/usr/bin/env bash
# Builds the Debian package dist/telvar_<version>_<arch>.deb from the CMake
# install rules, with CPack's DEB generator (dependencies by dpkg-shlibdeps).
#
#   bash scripts/package.sh                 # build-package/ and dist/
#   TELVAR_MAINTAINER='Name <address>' bash scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${TELVAR_PACKAGE_DIR:-build-package}
jobs=${TELVAR_JOBS:-2}

# Debian's own hardening and optimisation flags, as a Debian build would use,
# given on every configure (the environment's only seed a new cache).
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)

maintainer=()
[ -n "${TELVAR_MAINTAINER:-}" ] && maintainer=(-DTELVAR_MAINTAINER="$TELVAR_MAINTAINER")
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF \
    -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
    -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" "${maintainer[@]}" >/dev/null
cmake --build "$dir" -j"$jobs"

# Files and folders in the package are not group-writable whatever the
# caller's umask.
umask 022
rm -rf "$dir/package"
(cd "$dir" && cpack -G DEB >/dev/null)
mkdir -p dist
rm -f dist/telvar_*.deb
cp "$dir"/package/telvar_*.deb dist/
ls dist/telvar_*.deb
