#!/usr/bin/env bash
# Builds the Windows libraries of the product, hidapi, Qt's base, libxlsxwriter with its zlib,
# SQLite, libpq with OpenSSL, and zint, from Debian's source packages with MinGW-w64, into a per-user cache outside the repository, one
# folder per source version. Quick when they are there. Prints the CMake prefix path of them all
# on its last line.
set -euo pipefail
shopt -s inherit_errexit
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
CACHE="${NAVKEYPAD_CACHE:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/navkeypad}/mingw-w64"
TOOLCHAIN="$ROOT/cmake/mingw-w64.cmake"
mkdir -p "$CACHE"

# The versions of NAME's source apt knows, newest first: a mirror may lack the newest (a security
# update's sources), and an older one of the same release is then taken.
source_versions() {
  apt-cache showsrc "$1" 2>/dev/null | sed -nE 's/^Version: (.+)$/\1/p' | sort -Vru
}

# fetch NAME VERSION WORK: unpacks Debian's source of NAME at VERSION, its patches applied, and
# prints the folder.
fetch() {
  (cd "$3" && apt-get source "$1=$2" >"$3/fetch.log" 2>&1) || return 1
  find "$3" -mindepth 1 -maxdepth 1 -type d | head -1
}

# build_cached NAME BUILDER [VARIANT]: runs BUILDER SOURCE PREFIX WORK for the newest version of
# NAME that can be fetched, unless a version is built already; prints its prefix. VARIANT names
# a way of building it that an earlier cache does not have.
build_cached() {
  local name="$1" builder="$2" variant="${3:-}" version prefix work source
  local -a versions
  mapfile -t versions < <(source_versions "$name")
  ((${#versions[@]} > 0)) || { echo "deps_windows: no source package $name (deb-src missing?)" >&2; return 1; }
  for version in "${versions[@]}"; do
    prefix="$CACHE/$name-${version#*:}$variant"
    if [[ -f "$prefix/.built" ]]; then
      echo "$prefix"
      return
    fi
  done
  work="$(mktemp -d "$CACHE/work.XXXXXX")"
  # Runs in its own subshell ($(...)): on its exit, success or not, the sources go, and so does a
  # prefix that was not finished.
  trap "rm -rf '$work'; [[ -z \"\${prefix:-}\" || -f \"\$prefix/.built\" ]] || rm -rf \"\$prefix\"" EXIT
  for version in "${versions[@]}"; do
    rm -rf "${work:?}"/*
    source="$(fetch "$name" "$version" "$work")" || continue
    prefix="$CACHE/$name-${version#*:}$variant"
    echo "deps_windows: building $name $version for Windows (once; cached in $prefix)" >&2
    rm -rf "$prefix"
    "$builder" "$source" "$prefix" "$work" >&2
    touch "$prefix/.built"
    echo "$prefix"
    return
  done
  echo "deps_windows: no version of $name's source could be fetched:" >&2
  cat "$work/fetch.log" >&2
  return 1
}

# build_step LOG COMMAND...: the log is kept quiet unless the step fails.
build_step() {
  local log="$1"
  shift
  "$@" >>"$log" 2>&1 || { tail -60 "$log"; return 1; }
}

build_hidapi() {
  local source="$1" prefix="$2" work="$3"
  build_step "$work/build.log" cmake -S "$source" -B "$work/build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF
  build_step "$work/build.log" cmake --build "$work/build" -j "$JOBS" --target install
}

build_qt() {
  local source="$1" prefix="$2" work="$3"
  # Debian's source lacks the wintab headers, so tablet events are off; the product needs
  # none of the modules switched off here (print support it needs: labels go to the spooler).
  # Without OpenGL, the windows plugin of this Qt
  # only compiles with dynamic OpenGL switched off by name too.
  build_step "$work/build.log" cmake -S "$source" -B "$work/build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DQT_HOST_PATH=/usr \
    -DQT_HOST_PATH_CMAKE_DIR="$(dirname "$(dirname "$(find /usr/lib -name Qt6HostInfoConfig.cmake | head -1)")")" \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
    -DFEATURE_tabletevent=OFF -DFEATURE_network=OFF -DFEATURE_sql=OFF -DFEATURE_dbus=OFF \
    -DFEATURE_opengl=OFF -DFEATURE_dynamicgl=OFF -DFEATURE_xml=OFF -DFEATURE_concurrent=OFF \
    -DFEATURE_vulkan=OFF
  build_step "$work/build.log" cmake --build "$work/build" -j "$JOBS"
  build_step "$work/build.log" cmake --install "$work/build"
}

# zlib as a static library, for libxlsxwriter (Debian's source has no MinGW makefile): the
# library and its two headers, one of them made by the build.
build_zlib() {
  local source="$1" prefix="$2" work="$3"
  build_step "$work/build.log" cmake -S "$source" -B "$work/build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release
  build_step "$work/build.log" cmake --build "$work/build" -j "$JOBS" --target zlibstatic
  mkdir -p "$prefix/lib" "$prefix/include"
  cp "$work/build/libzlibstatic.a" "$prefix/lib/libz.a"
  cp "$source/zlib.h" "$work/build/zconf.h" "$prefix/include/"
}

# Its own temporary files, and numbers written the same whatever the locale; without its own MD5,
# whose names OpenSSL's (for libpq) also has, and which only images in a workbook need.
build_xlsxwriter() {
  local source="$1" prefix="$2" work="$3"
  build_step "$work/build.log" cmake -S "$source" -B "$work/build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF -DUSE_DTOA_LIBRARY=ON -DUSE_NO_MD5=ON \
    -DZLIB_INCLUDE_DIR="$zlib/include" -DZLIB_LIBRARY="$zlib/lib/libz.a"
  build_step "$work/build.log" cmake --build "$work/build" -j "$JOBS" --target install
}

# SQLite as one static library: Debian's source is SQLite's tree, from which its own makefile
# (run on this machine, with tclsh) makes the one-file form that MinGW then compiles.
build_sqlite() {
  local source="$1" prefix="$2" work="$3"
  mkdir -p "$work/host" "$prefix/lib" "$prefix/include"
  (cd "$work/host" && build_step "$work/build.log" "$source/configure" --disable-tcl) || return 1
  build_step "$work/build.log" make -C "$work/host" sqlite3.c sqlite3.h
  build_step "$work/build.log" x86_64-w64-mingw32-gcc-posix -O2 -DSQLITE_THREADSAFE=1 \
    -DSQLITE_DQS=0 -DSQLITE_OMIT_LOAD_EXTENSION -c "$work/host/sqlite3.c" -o "$work/sqlite3.o"
  build_step "$work/build.log" x86_64-w64-mingw32-ar rcs "$prefix/lib/libsqlite3.a" "$work/sqlite3.o"
  cp "$work/host/sqlite3.h" "$source/src/sqlite3ext.h" "$prefix/include/" 2>/dev/null ||
    cp "$work/host/sqlite3.h" "$prefix/include/"
}

# OpenSSL's two libraries, static, for libpq's TLS: a bench proves itself to the site's server
# with a client certificate and checks the server's.
build_openssl() {
  local source="$1" prefix="$2" work="$3"
  (cd "$source" && build_step "$work/build.log" ./Configure mingw64 no-shared no-tests \
    --cross-compile-prefix=x86_64-w64-mingw32- --prefix="$prefix" --libdir=lib) || return 1
  build_step "$work/build.log" make -C "$source" -j "$JOBS" build_libs
  build_step "$work/build.log" make -C "$source" install_dev
}

# libpq alone, from Debian's PostgreSQL source: the parts it needs are built, and its objects
# are put into a static library of their own (PostgreSQL's Windows build makes a DLL).
build_libpq() {
  local source="$1" prefix="$2" work="$3"
  (cd "$source" && build_step "$work/build.log" ./configure --host=x86_64-w64-mingw32 \
    --without-readline --without-zlib --without-icu --with-ssl=openssl \
    --with-includes="$openssl/include" --with-libraries="$openssl/lib" --prefix="$prefix" \
    LIBS="-lcrypt32 -lws2_32 -lgdi32 -ladvapi32 -luser32 -lbcrypt") || return 1
  for part in src/include src/common src/port src/interfaces/libpq; do
    build_step "$work/build.log" make -C "$source/$part" -j "$JOBS"
  done
  mkdir -p "$prefix/lib" "$prefix/include" "$work/objects"
  # libpq's own pthread functions for Windows would stand in for winpthreads' (which the C++
  # runtime uses) in the whole program: they get names of libpq's own.
  for name in pthread_self pthread_setspecific pthread_getspecific pthread_mutex_init \
    pthread_mutex_lock pthread_mutex_unlock; do
    echo "$name libpq_$name"
  done >"$work/renamed"
  for object in $(find "$source/src/interfaces/libpq" -maxdepth 1 -name '*.o' ! -name 'win32ver.o'); do
    x86_64-w64-mingw32-objcopy --redefine-syms="$work/renamed" "$object" "$work/objects/$(basename "$object")"
  done
  rm -f "$prefix/lib/libpq.a"
  build_step "$work/build.log" x86_64-w64-mingw32-ar rcs "$prefix/lib/libpq.a" \
    $(find "$work/objects" -name '*.o' | sort)
  cp "$source/src/common/libpgcommon_shlib.a" "$source/src/port/libpgport_shlib.a" "$prefix/lib/"
  cp "$source/src/interfaces/libpq/libpq-fe.h" "$source/src/include/postgres_ext.h" \
    "$source/src/include/pg_config_ext.h" "$prefix/include/"
  cp "$openssl/lib/libssl.a" "$openssl/lib/libcrypto.a" "$prefix/lib/"
}

# zint's library alone, static: the labels' Data Matrix codes (its PNG output, front end and Qt
# widget are not needed; the program draws the code with Qt).
build_zint() {
  local source="$1" prefix="$2" work="$3"
  build_step "$work/build.log" cmake -S "$source" -B "$work/build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DZINT_STATIC=ON -DZINT_USE_PNG=OFF -DZINT_USE_QT=OFF \
    -DZINT_TEST=OFF
  build_step "$work/build.log" cmake --build "$work/build" -j "$JOBS" --target install
  # zint's own helpers have plain names that other libraries of the program have too (libpq's
  # utf8_to_unicode): every name but its interface (ZBarcode_*) gets a prefix of zint's.
  x86_64-w64-mingw32-nm -g --defined-only "$prefix/lib/libzint-static.a" |
    awk 'NF == 3 && $3 !~ /^ZBarcode_/ {print $3 " zint_" $3}' | sort -u >"$work/renamed"
  x86_64-w64-mingw32-objcopy --redefine-syms="$work/renamed" "$prefix/lib/libzint-static.a"
}

hidapi="$(build_cached hidapi build_hidapi)"
zint="$(build_cached zint build_zint -own-names)"
qt="$(build_cached qt6-base build_qt -print)"
zlib="$(build_cached zlib build_zlib)"
xlsxwriter="$(build_cached libxlsxwriter build_xlsxwriter -no-md5)"
sqlite="$(build_cached sqlite3 build_sqlite)"
openssl="$(build_cached openssl build_openssl)"
libpq="$(build_cached postgresql-15 build_libpq -own-pthread)"
echo "$hidapi;$qt;$zlib;$xlsxwriter;$sqlite;$libpq;$zint"
