#!/bin/sh
# Builds the daemon's libraries for a static musl target: libev, libmosquitto
# (the client library only, with TLS) and OpenSSL, from Debian's source packages
# at pinned versions, with the Zig compiler of scripts/zig.sh. Installs headers,
# static libraries and pkg-config files into PREFIX for cmake/TARGET.cmake.
#
#   scripts/musl-deps.sh TARGET PREFIX      TARGET: armhf-musl, x86_64-musl, mips-musl
#
# A prefix already built for the same target, versions and flags is reused
# as it is. The source packages are kept in build-deps-src/ at the top of the
# checkout (or $QUORREL_DEPS_SRC), shared by all targets, so they are fetched
# once; fetching them adds a deb-src entry for the host's suites to apt's
# sources when there is none.
set -eu

# Debian 12 (bookworm) source versions. The archive keeps only the current
# version of each suite: when a point release or a security update replaces
# one, apt-get source fails with the versions on offer, and these move on
# (or set QUORREL_LIBEV_VERSION etc. to build another).
LIBEV_VERSION=${QUORREL_LIBEV_VERSION:-1:4.33-1}
MOSQUITTO_VERSION=${QUORREL_MOSQUITTO_VERSION:-2.0.11-1.2+deb12u2}
OPENSSL_VERSION=${QUORREL_OPENSSL_VERSION:-3.0.20-1~deb12u2}
# Bumped whenever the way the libraries are built changes.
RECIPE=1
JOBS=2

usage() { echo "usage: $0 armhf-musl|x86_64-musl|mips-musl PREFIX" >&2; exit 2; }
[ $# -eq 2 ] || usage
target=$1
case "$target" in
  armhf-musl)
    openssl_target=linux-armv4; openssl_opts=""; openssl_cflags="" ;;
  x86_64-musl)
    openssl_target=linux-x86_64; openssl_opts=""; openssl_cflags="" ;;
  mips-musl)
    # OpenSSL's MIPS assembly crashes the TLS handshakes under qemu; and it
    # takes its locks rather than clang's __atomic builtins, whose 64-bit
    # forms 32-bit MIPS has no instructions for.
    openssl_target=linux-mips32; openssl_opts="no-asm"; openssl_cflags="-DBROKEN_CLANG_ATOMICS" ;;
  *) usage ;;
esac

here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$here")
toolchain="$top/cmake/$target.cmake"
mkdir -p "$2"
prefix=$(cd "$2" && pwd)
srcdir=${QUORREL_DEPS_SRC:-$top/build-deps-src}

# The compiler target and CPU are those of the CMake toolchain file, so that
# the libraries and the programs are built alike.
toolchain_value() {
  sed -n "s/^set($1 \"\{0,1\}\([^\")]*\)\"\{0,1\})\$/\1/p" "$toolchain"
}
zig_target=$(toolchain_value QUORREL_ZIG_TARGET)
zig_cpu=$(toolchain_value QUORREL_ZIG_CPU)
[ -n "$zig_target" ] || { echo "musl-deps: no QUORREL_ZIG_TARGET in $toolchain" >&2; exit 1; }

zig=$("$here/zig.sh")
zig_version=$("$zig" version)
cflags="-O2 -ffunction-sections -fdata-sections"

stamp="$prefix/.musl-deps-stamp"
want_stamp="recipe=$RECIPE target=$target zig=$zig_version zig-target=$zig_target cpu=$zig_cpu
libev=$LIBEV_VERSION mosquitto=$MOSQUITTO_VERSION openssl=$OPENSSL_VERSION
cflags=$cflags openssl=$openssl_target $openssl_opts $openssl_cflags"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want_stamp" ] \
   && [ -f "$prefix/lib/pkgconfig/libmosquitto.pc" ]; then
  echo "musl-deps: $target libraries in $prefix are up to date (libev $LIBEV_VERSION, mosquitto $MOSQUITTO_VERSION, openssl $OPENSSL_VERSION)"
  exit 0
fi

# --- Source packages -------------------------------------------------------

apt_retry() {
  # Another apt may hold the lock; wait for it rather than fail.
  n=0
  while :; do
    if "$@" 2>"$srcdir/.apt-error"; then
      cat "$srcdir/.apt-error" >&2; return 0
    fi
    if grep -q 'Could not get lock\|Unable to lock' "$srcdir/.apt-error" && [ $n -lt 120 ]; then
      n=$((n + 1)); sleep 5; continue
    fi
    cat "$srcdir/.apt-error" >&2; return 1
  done
}

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

have_source_version() {  # PACKAGE VERSION
  apt-cache showsrc "$1" 2>/dev/null | grep -qx "Version: $2"
}

# The apt sources of the host's own suites, with deb-src in place of deb.
add_deb_src() {
  list=/etc/apt/sources.list.d/quorrel-deb-src
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed -n '/^Types:/,$p' /etc/apt/sources.list.d/debian.sources \
      | sed 's/^Types:.*/Types: deb-src/' | $SUDO tee "$list.sources" >/dev/null
  elif [ -f /etc/apt/sources.list ]; then
    grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' | $SUDO tee "$list.list" >/dev/null
  else
    echo "musl-deps: no apt sources found to add deb-src entries to" >&2; exit 1
  fi
  echo "musl-deps: added $(ls "$list".*) for the host's suites; updating apt's lists" >&2
  "$here/apt-update.sh"
}

fetch_sources() {
  mkdir -p "$srcdir"
  (
    flock 9
    missing=""
    for want in "libev=$LIBEV_VERSION" "mosquitto=$MOSQUITTO_VERSION" "openssl=$OPENSSL_VERSION"; do
      [ -f "$srcdir/$(dsc_name "$want")" ] || missing="$missing $want"
    done
    [ -n "$missing" ] || exit 0
    updated=0
    for want in $missing; do
      if ! have_source_version "${want%%=*}" "${want#*=}"; then
        if [ $updated -eq 0 ]; then
          if grep -rqs '^deb-src \|^Types:.*deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
            "$here/apt-update.sh"
          else
            add_deb_src
          fi
          updated=1
        fi
        if ! have_source_version "${want%%=*}" "${want#*=}"; then
          echo "musl-deps: Debian offers no source for $want; versions on offer:" >&2
          apt-cache showsrc "${want%%=*}" | sed -n 's/^Version: /  /p' >&2
          exit 1
        fi
      fi
    done
    echo "musl-deps: fetching source packages:$missing" >&2
    cd "$srcdir"
    # shellcheck disable=SC2086
    apt_retry apt-get source --download-only -qq -o APT::Sandbox::User=root $missing
  ) 9>"$srcdir/.lock"
}

# libev=1:4.33-1 -> libev_4.33-1.dsc (the epoch is not part of file names)
dsc_name() {
  p=${1%%=*}; v=${1#*=}; v=${v#*:}
  echo "${p}_$v.dsc"
}

fetch_sources

# --- Build -----------------------------------------------------------------

work="$prefix/.work"
rm -rf "$work" "$stamp"
mkdir -p "$work/bin" "$prefix/lib/pkgconfig" "$prefix/include"

cpu_flag=""
[ -z "$zig_cpu" ] || cpu_flag="-mcpu=$zig_cpu"
# The same compiler flags as cmake/zig-musl.cmake's wrappers (see there why
# -fno-lto -O2), so that the libraries and the project share Zig's runtimes.
for tool in cc c++; do
  printf '#!/bin/sh\nexec "%s" %s -target %s %s -fno-lto -O2 "$@"\n' "$zig" "$tool" "$zig_target" \
    "$cpu_flag" > "$work/bin/$tool"
done
for tool in ar ranlib; do
  printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$zig" "$tool" > "$work/bin/$tool"
done
chmod +x "$work/bin/"*
CC="$work/bin/cc"; AR="$work/bin/ar"; RANLIB="$work/bin/ranlib"

unpack() {  # PACKAGE=VERSION -> prints the unpacked tree, Debian's patches applied
  d="$work/${1%%=*}"
  dpkg-source -x "$srcdir/$(dsc_name "$1")" "$d" > "$work/unpack-${1%%=*}.log" 2>&1 \
    || { cat "$work/unpack-${1%%=*}.log" >&2; return 1; }
  echo "$d"
}

log() { echo "musl-deps: $*"; }

# Zig builds musl, compiler-rt and libc++ for the target the first time it
# links for it, and keeps them in its cache. Linking a C++ object here, with
# the flags of the project's default build (RelWithDebInfo), builds the very
# ones the project's programs and tests use, and keeps that time apart.
start=$(date +%s)
printf '#include <string>\nint main(int argc, char**) { return std::string(argc, 0).size() == 1 ? 0 : 1; }\n' \
  > "$work/first.cpp"
{ "$work/bin/c++" -O2 -g -DNDEBUG -c "$work/first.cpp" -o "$work/first.o" &&
  "$work/bin/c++" -O2 -g -DNDEBUG -static "$work/first.o" -o "$work/first"; } \
  > "$work/first.log" 2>&1 || { cat "$work/first.log" >&2; exit 1; }
log "$target: zig's C and C++ runtimes ready in $(( $(date +%s) - start )) s"

# Unpacks PACKAGE=VERSION and runs build_NAME inside it, with its output in
# $work/NAME.log; on failure, ends the script with the end of that log.
build_library() {  # NAME LABEL PACKAGE=VERSION
  start=$(date +%s)
  src=$(unpack "$3")
  (cd "$src" && "build_$1") > "$work/$1.log" 2>&1 ||
    { tail -40 "$work/$1.log" >&2; echo "musl-deps: $2 failed, log in $work/$1.log" >&2; exit 1; }
  log "$target: $2 ${3#*=} built in $(( $(date +%s) - start )) s"
}

# Each step is chained with &&: set -e does not apply inside a list that
# build_library's || tests.
build_openssl() {
  # shellcheck disable=SC2086
  CFLAGS="$cflags $openssl_cflags" ./Configure "$openssl_target" \
    no-shared no-module no-dso no-tests $openssl_opts \
    --prefix="$prefix" --libdir=lib --openssldir=/etc/ssl \
    CC="$CC" AR="$AR" RANLIB="$RANLIB" &&
  make -j"$JOBS" build_libs &&
  make install_dev
}

build_libev() {
  ./configure --host="$zig_target" --build="$(./config.guess)" --prefix="$prefix" \
    --disable-shared --enable-static \
    CC="$CC" AR="$AR" RANLIB="$RANLIB" CFLAGS="$cflags" &&
  make -j"$JOBS" &&
  make install
}

build_mosquitto() {
  cd lib &&
  make -j"$JOBS" libmosquitto.a CROSS_COMPILE= CC="$CC" AR="$AR" \
    CFLAGS="$cflags -Wall" CPPFLAGS="-I$prefix/include" \
    WITH_SHARED_LIBRARIES=no WITH_STATIC_LIBRARIES=yes WITH_TLS=yes WITH_TLS_PSK=yes \
    WITH_THREADING=yes WITH_SOCKS=yes WITH_SRV=no WITH_CJSON=no WITH_DOCS=no &&
  "$RANLIB" libmosquitto.a &&
  cp libmosquitto.a "$prefix/lib/" &&
  cp ../include/mosquitto.h ../include/mqtt_protocol.h "$prefix/include/"
}

# OpenSSL first: libmosquitto is compiled against its headers.
build_library openssl OpenSSL "openssl=$OPENSSL_VERSION"
build_library libev libev "libev=$LIBEV_VERSION"
build_library mosquitto libmosquitto "mosquitto=$MOSQUITTO_VERSION"

mosquitto_upstream=${MOSQUITTO_VERSION%-*}
# Static only: its own link line carries OpenSSL and threads (pkg-config --static).
cat > "$prefix/lib/pkgconfig/libmosquitto.pc" <<EOF
prefix=$prefix
exec_prefix=\${prefix}
includedir=\${prefix}/include
libdir=\${exec_prefix}/lib

Name: mosquitto
Description: mosquitto MQTT library (C bindings), static, with TLS
Version: $mosquitto_upstream
Cflags: -I\${includedir}
Libs: -L\${libdir} -lmosquitto
Libs.private: -lssl -lcrypto -lpthread
EOF

[ -n "${QUORREL_KEEP_DEPS_WORK:-}" ] || rm -rf "$work"
printf '%s\n' "$want_stamp" > "$stamp"
log "$target: libraries installed in $prefix"
