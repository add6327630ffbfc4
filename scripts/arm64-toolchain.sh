#!/usr/bin/env bash
# Builds, once, a clang cross toolchain for Windows on ARM64
# (aarch64-w64-mingw32) from Debian 12's own parts: the installed clang-14,
# lld-14 and llvm-14 tools, plus the mingw-w64 headers and CRT and LLVM's
# compiler-rt builtins, libunwind, libc++abi and libc++ (static), built here
# from Debian's source packages.
#
# The source packages are fetched with apt-get through a private source list
# and apt state (the machine's apt configuration is not touched), from the
# Debian mirror the machine itself uses (scripts/debian-mirror.sh;
# VX_DEBIAN_MIRROR overrides it). llvm-toolchain-14 is taken at the version
# of the installed clang-14, whose compiler the builtins and libc++ must
# match, or at bookworm's newest when the archive no longer has that one;
# mingw-w64 at bookworm's newest.
#
# The toolchain lives outside the clone, in the cache (scripts/cache.sh), as
#   <cache>/<triple>_<crt>-r<recipe>_clang-<version>_mingw-w64-<version>_llvm-<version>
# named for all it was made for and from: the C runtime, this script's
# recipe, the installed clang-14 and the two source packages. It is built in
# a sibling stage directory, marked complete there after the last step, and
# then renamed into place; the work files are removed after that. A later run
# finds a complete toolchain for the installed clang and returns at once,
# without the network; an interrupted or failed build is thrown away and made
# again.
#
# The packages it needs are installed by scripts/install-deps.sh; this script
# only says which are missing.
#
#   bash scripts/arm64-toolchain.sh
#       makes or finds the toolchain; the last line on standard output is its
#       prefix:   prefix=$(bash scripts/arm64-toolchain.sh | tail -n1)
#   bash scripts/arm64-toolchain.sh exec -- CMD [ARG]...
#       makes or finds it, then becomes CMD with VX_ARM64_TOOLCHAIN set to
#       the prefix, holding the toolchain's lock (shared) until CMD and
#       everything it started have ended, so that `bash scripts/cache.sh
#       prune` leaves it alone; exits with CMD's exit status.
#
# Progress goes to standard error, each step's output to a log file under
# <cache>/<triple>.logs/.
#
# In the prefix:
#   bin/aarch64-w64-mingw32-{clang,clang++,windres,dlltool,ar,ranlib,nm,
#       objdump,readobj,strip}
#   aarch64-w64-mingw32/{include,lib}   mingw-w64 headers, CRT, libc++ & co.
#   lib/clang/<version>/                clang's resource directory: its own
#       headers (linked from the installed clang) and the builtins library
set -euo pipefail

readonly PACKAGES=(clang-14 lld-14 llvm-14 cmake ninja-build make python3 dpkg-dev xz-utils bzip2
    debian-archive-keyring)

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
note() { echo "arm64-toolchain: $*" >&2; }
die() { note "$*"; exit 1; }
# shellcheck source=cache.sh
source "$here/cache.sh"

command=()
case ${1:-} in
    "") ;;
    exec) shift; [[ ${1:-} == -- ]] && shift; command=("$@"); ((${#command[@]})) || die "exec: no command" ;;
    *) echo "usage: bash scripts/arm64-toolchain.sh [exec -- CMD [ARG]...]" >&2; exit 2 ;;
esac

cache_open
logs=$CACHE_DIR/$TRIPLE.logs
downloads=$CACHE_DIR/$TRIPLE.downloads   # the fetched source packages, until success

bash "$here/install-deps.sh" --check "${PACKAGES[@]}" || exit 1
toolchain_identity

# Takes the lock of the newest complete toolchain for this machine (shared,
# in CACHE_LOCK_FD) and sets prefix to it; fails when there is none, or when
# prune removed it before the lock was taken.
use_toolchain() {
    local dir
    dir=$(toolchain_find) || return 1
    cache_lock -s "${dir##*/}"
    [[ -f $dir/$TOOLCHAIN_MARKER ]] && prefix=$dir && return 0
    exec {CACHE_LOCK_FD}>&-
    return 1
}

# Prints the prefix, or becomes CMD with the toolchain's lock held.
found() {
    exec 9>&-
    ((${#command[@]})) || { echo "$prefix"; exit 0; }
    export VX_ARM64_TOOLCHAIN=$prefix
    exec "${command[@]}"
}

# Runs one step with its output in <logs>/<step>.log; stops the script with
# the log's tail when the step fails.
run_step() {
    local step=$1
    shift
    local log=$logs/$step.log
    local start=$SECONDS rc
    note "$step ..."
    set +e
    (set -euo pipefail; "$@") >"$log" 2>&1 </dev/null
    rc=$?
    set -e
    if ((rc != 0)); then
        note "step '$step' failed (exit $rc); log: $log"
        echo "---- last lines of $log" >&2
        tail -n 40 "$log" >&2
        exit 1
    fi
    note "$step done in $((SECONDS - start)) s"
    echo "$step $((SECONDS - start))" >>"$logs/timings"
}

# ---- The fast way: a finished toolchain for this machine. Else one build at
# a time; whoever waited finds the finished toolchain.

exec 9>"$CACHE_DIR/$TRIPLE.lock"
use_toolchain && found
if ! flock -n 9; then
    note "waiting for another build of the toolchain"
    flock 9
fi
use_toolchain && found

# ---- From here on nothing is complete: start from a clean slate.
build_start=$SECONDS
# Stages and work trees of builds cut short; fetched sources are reused.
for dir in "$CACHE_DIR/$TRIPLE"_*.partial "$CACHE_DIR/$TRIPLE"_*.work; do
    [[ -e $dir ]] || continue
    note "removing $dir (left by an unfinished build)"
    remove_tree "$dir"
done
rm -rf "$logs"
mkdir -p "$logs" "$downloads"

# A private apt configuration and state for the source packages.
apt_dir=$downloads/apt
apt_options=(
    -o Dir::Etc::SourceList="$apt_dir/sources.list"
    -o Dir::Etc::SourceParts="$apt_dir/sources.list.d"
    -o Dir::Etc::Preferences="$apt_dir/preferences"
    -o Dir::Etc::PreferencesParts="$apt_dir/preferences.d"
    -o Dir::State::Lists="$apt_dir/lists"
    -o Dir::State::status="$apt_dir/status"
    -o Dir::Cache="$apt_dir/cache"
    -o APT::Sandbox::User=root
)
apt_get() { apt-get "${apt_options[@]}" "$@"; }
apt_cache() { apt-cache "${apt_options[@]}" "$@"; }

update_sources() {
    local mirror
    mirror=$(bash "$here/debian-mirror.sh")
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/sources.list.d" \
        "$apt_dir/preferences.d"
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror bookworm bookworm-updates main" \
        >"$apt_dir/sources.list"
    cat "$apt_dir/sources.list"
    : >"$apt_dir/status"
    apt_get update
}
run_step sources update_sources

# The version of a source package that the private lists offer (VERSION when
# given and offered, else the newest); nothing when it is not offered.
source_version() {
    local package=$1 wanted=${2:-} versions
    versions=$(apt_cache showsrc --only-source "$package" 2>/dev/null | sed -n 's/^Version: //p')
    if [[ -n $wanted ]] && grep -qxF -- "$wanted" <<<"$versions"; then
        echo "$wanted"
        return
    fi
    local best= version
    for version in $versions; do
        if [[ -z $best ]] || dpkg --compare-versions "$version" gt "$best"; then
            best=$version
        fi
    done
    echo "$best"
}

llvm_wanted=$(dpkg-query -W -f='${source:Version}' clang-14)
llvm_version=$(source_version llvm-toolchain-14 "$llvm_wanted")
mingw_version=$(source_version mingw-w64)
[[ -n $llvm_version ]] || die "the Debian mirror offers no llvm-toolchain-14 source package"
[[ -n $mingw_version ]] || die "the Debian mirror offers no mingw-w64 source package"
[[ $llvm_version == "$llvm_wanted" ]] ||
    note "llvm-toolchain-14 $llvm_wanted (the installed clang-14's) is no longer offered; using $llvm_version"
note "building from mingw-w64 $mingw_version and llvm-toolchain-14 $llvm_version"

name=${TOOLCHAIN_STEM}_mingw-w64-${mingw_version#*:}_llvm-${llvm_version#*:}
final=$CACHE_DIR/$name
stage=$final.partial          # the toolchain while it is being built
work=$final.work              # sources and build trees, removed at the end
marker=$stage/$TOOLCHAIN_MARKER
mkdir -p "$stage/bin" "$work"
note "building the toolchain in $stage (logs in $logs)"

clang_resource=$("$LLVM_BIN/clang" -print-resource-dir)
clang_version=$(basename "$clang_resource")
[[ -d $clang_resource/include ]] || die "no clang resource headers in $clang_resource/include"

# ---- Driver wrappers. They find the prefix from their own location, so the
# toolchain can be renamed into place after the build.
#
# Debian's clang needs every one of the target, sysroot, runtime-library and
# linker flags; the link-only ones are bracketed so that compile-only
# commands under -Werror do not fail on them as unused. The private resource
# directory keeps the builtins library in the prefix, out of /usr.
#
# __USE_MINGW_ANSI_STDIO=1 is always on: formatted output (the printf family,
# which libc++ also uses to put numbers on wide streams) then comes from
# mingw-w64's own implementation, linked in statically, instead of from the
# C runtime DLL. The ARM64 ucrtbase and msvcrt of Wine read a Windows-ARM64
# va_list the wrong way and crash on any formatted output with arguments; with
# the definition in the wrapper, libc++ and every program built with these
# wrappers stay clear of them.

write_compiler_wrapper() {
    local tool=$1 driver=$2
    cat >"$stage/bin/$TRIPLE-$tool" <<EOF
#!/bin/sh
# $TRIPLE $tool: Debian's clang with this prefix as its sysroot and resource
# directory, and LLVM's runtime libraries. __USE_MINGW_ANSI_STDIO=1 routes the
# C library's formatted output through mingw-w64's own static implementation
# (see scripts/arm64-toolchain.sh).
self=\$(readlink -f "\$0")
prefix=\${self%/bin/*}
exec $LLVM_BIN/$driver --target=$TRIPLE --sysroot="\$prefix" \\
    -resource-dir="\$prefix/lib/clang/$clang_version" \\
    -D__USE_MINGW_ANSI_STDIO=1 \\
    --start-no-unused-arguments \\
    -rtlib=compiler-rt -unwindlib=libunwind -stdlib=libc++ -fuse-ld=lld \\
    --end-no-unused-arguments \\
    "\$@"
EOF
    chmod +x "$stage/bin/$TRIPLE-$tool"
}
write_compiler_wrapper clang clang
write_compiler_wrapper clang++ clang++

# llvm-windres preprocesses with the clang beside it; it gets the target and
# this prefix's headers.
cat >"$stage/bin/$TRIPLE-windres" <<EOF
#!/bin/sh
# $TRIPLE windres: llvm-windres, preprocessing with Debian's clang against
# this prefix's headers.
self=\$(readlink -f "\$0")
prefix=\${self%/bin/*}
exec $LLVM_BIN/llvm-windres --target=$TRIPLE \\
    --preprocessor-arg=--sysroot="\$prefix" \\
    --preprocessor-arg=-resource-dir="\$prefix/lib/clang/$clang_version" \\
    "\$@"
EOF
chmod +x "$stage/bin/$TRIPLE-windres"

# The LLVM tools take their target (dlltool: the machine) from the name they
# are called by.
for tool in dlltool ar ranlib nm objdump readobj strip; do
    ln -s "$LLVM_BIN/llvm-$tool" "$stage/bin/$TRIPLE-$tool"
done

# clang's resource directory: the installed clang's own headers and, after
# the builtins step, our builtins library.
mkdir -p "$stage/lib/clang/$clang_version/lib/windows"
ln -s "$clang_resource/include" "$stage/lib/clang/$clang_version/include"

export PATH=$stage/bin:$PATH
cc=$stage/bin/$TRIPLE-clang
cxx=$stage/bin/$TRIPLE-clang++
sysroot=$stage/$TRIPLE
jobs=$(nproc)

# ---- The steps

fetch_sources() {
    # Files fetched by an earlier, unfinished run are checked and kept.
    cd "$downloads"
    apt_get source --download-only "mingw-w64=$mingw_version" "llvm-toolchain-14=$llvm_version"
}

unpack_sources() {
    cd "$work"
    dpkg-source -x "$downloads/mingw-w64_${mingw_version#*:}.dsc" mingw-w64
    dpkg-source -x "$downloads/llvm-toolchain-14_${llvm_version#*:}.dsc" llvm
}

# mingw-w64's headers and CRT must agree on the default C runtime.
mingw_crt_options=(--host=$TRIPLE --prefix="$sysroot" --with-default-msvcrt=$TOOLCHAIN_CRT)

build_headers() {
    mkdir -p "$work/build/headers"
    cd "$work/build/headers"
    "$work/mingw-w64/mingw-w64-headers/configure" "${mingw_crt_options[@]}" CC="$cc"
    make -j"$jobs" install
}

build_crt() {
    mkdir -p "$work/build/crt"
    cd "$work/build/crt"
    # The CRT implements the very printf family that __USE_MINGW_ANSI_STDIO
    # redirects in the headers, and sets that macro itself where it needs
    # it: the wrapper's definition is taken back.
    "$work/mingw-w64/mingw-w64-crt/configure" "${mingw_crt_options[@]}" \
        --disable-lib32 --disable-lib64 --enable-libarm64 \
        CC="$cc -U__USE_MINGW_ANSI_STDIO" CXX="$cxx -U__USE_MINGW_ANSI_STDIO" \
        AR="$TRIPLE-ar" RANLIB="$TRIPLE-ranlib" DLLTOOL="$TRIPLE-dlltool"
    make -j"$jobs"
    make install
}

# What CMake needs for the LLVM runtimes: nothing can be linked yet, so the
# compiler checks are skipped.
runtime_cmake_options=(
    -G Ninja
    -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_SYSTEM_NAME=Windows
    -DCMAKE_SYSTEM_PROCESSOR=ARM64
    -DCMAKE_C_COMPILER="$cc"
    -DCMAKE_CXX_COMPILER="$cxx"
    -DCMAKE_ASM_COMPILER="$cc"
    -DCMAKE_C_COMPILER_TARGET=aarch64-w64-windows-gnu
    -DCMAKE_CXX_COMPILER_TARGET=aarch64-w64-windows-gnu
    -DCMAKE_ASM_COMPILER_TARGET=aarch64-w64-windows-gnu
    -DCMAKE_AR="$LLVM_BIN/llvm-ar"
    -DCMAKE_RANLIB="$LLVM_BIN/llvm-ranlib"
    -DCMAKE_C_COMPILER_WORKS=TRUE
    -DCMAKE_CXX_COMPILER_WORKS=TRUE
)

build_builtins() {
    cmake -S "$work/llvm/compiler-rt/lib/builtins" -B "$work/build/builtins" \
        "${runtime_cmake_options[@]}" \
        -DCMAKE_TRY_COMPILE_TARGET_TYPE=STATIC_LIBRARY \
        -DCMAKE_INSTALL_PREFIX="$stage/lib/clang/$clang_version" \
        -DLLVM_CONFIG_PATH= \
        -DCOMPILER_RT_DEFAULT_TARGET_ONLY=TRUE
    cmake --build "$work/build/builtins" -j"$jobs"
    cmake --install "$work/build/builtins"
    test -f "$stage/lib/clang/$clang_version/lib/windows/libclang_rt.builtins-aarch64.a"
}

build_runtimes() {
    # The runtimes test their flags together with --unwindlib=none, which
    # the wrapper's own -unwindlib would leave unused: -Qunused-arguments
    # keeps those checks from failing under -Werror.
    cmake -S "$work/llvm/runtimes" -B "$work/build/runtimes" \
        "${runtime_cmake_options[@]}" \
        -DCMAKE_INSTALL_PREFIX="$sysroot" \
        -DCMAKE_C_FLAGS=-Qunused-arguments \
        -DCMAKE_CXX_FLAGS=-Qunused-arguments \
        -DLLVM_ENABLE_RUNTIMES="libunwind;libcxxabi;libcxx" \
        -DLLVM_INCLUDE_TESTS=OFF \
        -DLIBUNWIND_USE_COMPILER_RT=ON \
        -DLIBUNWIND_ENABLE_SHARED=OFF \
        -DLIBUNWIND_ENABLE_STATIC=ON \
        -DLIBUNWIND_INCLUDE_TESTS=OFF \
        -DLIBCXXABI_USE_COMPILER_RT=ON \
        -DLIBCXXABI_USE_LLVM_UNWINDER=ON \
        -DLIBCXXABI_ENABLE_SHARED=OFF \
        -DLIBCXXABI_ENABLE_STATIC=ON \
        -DLIBCXXABI_INCLUDE_TESTS=OFF \
        -DLIBCXX_USE_COMPILER_RT=ON \
        -DLIBCXX_CXX_ABI=libcxxabi \
        -DLIBCXX_ENABLE_SHARED=OFF \
        -DLIBCXX_ENABLE_STATIC=ON \
        -DLIBCXX_ENABLE_STATIC_ABI_LIBRARY=ON \
        -DLIBCXX_ENABLE_ABI_LINKER_SCRIPT=OFF \
        -DLIBCXX_HAS_WIN32_THREAD_API=ON \
        -DLIBCXX_INCLUDE_TESTS=OFF \
        -DLIBCXX_INCLUDE_BENCHMARKS=OFF \
        -DLIBCXX_INCLUDE_DOCS=OFF
    cmake --build "$work/build/runtimes" -j"$jobs"
    cmake --install "$work/build/runtimes"
}

# A C and a C++ program (exceptions, wide stream output of a number, a
# resource) must compile, link and come out as console programs for ARM64
# that import only system DLLs.
check_toolchain() {
    local dir=$work/check
    mkdir -p "$dir"
    cd "$dir"
    cat >hello.c <<'EOF'
#include <stdio.h>
#include <windows.h>
int main(void) { printf("%d %s\n", 42, "ok"); return GetCurrentProcessId() == 0; }
EOF
    cat >hello.cpp <<'EOF'
#include <iostream>
#include <stdexcept>
#include <string>
int wmain() {
    try { throw std::runtime_error("thrown"); }
    catch (const std::exception &e) { std::wcout << std::wstring(L"caught ") << 5 << L' ' << e.what() << L'\n'; }
    return 0;
}
EOF
    cat >hello.rc <<'EOF'
#include <winver.h>
VS_VERSION_INFO VERSIONINFO
FILEVERSION 1,0,0,0
BEGIN
END
EOF
    $TRIPLE-clang -O2 -Wall -Werror -o hello-c.exe hello.c
    $TRIPLE-windres hello.rc hello-rc.o
    $TRIPLE-clang++ -O2 -Wall -Werror -municode -static -o hello-cpp.exe hello.cpp hello-rc.o
    local exe
    for exe in hello-c.exe hello-cpp.exe; do
        $TRIPLE-readobj --file-headers --coff-imports "$exe" >"$exe.txt"
        cat "$exe.txt"
        grep -q 'Machine: IMAGE_FILE_MACHINE_ARM64 (0xAA64)' "$exe.txt"
        grep -q 'Subsystem: IMAGE_SUBSYSTEM_WINDOWS_CUI' "$exe.txt"
        # Only Windows' own DLLs: kernel32 and the UCRT's API sets.
        if grep -E '^ *Name: ' "$exe.txt" | grep -viE 'Name: (kernel32\.dll|api-ms-win-crt-[a-z0-9-]+\.dll)$'; then
            echo "$exe imports a DLL that is not part of Windows"
            return 1
        fi
    done
}

run_step fetch fetch_sources
run_step unpack unpack_sources
run_step headers build_headers
run_step crt build_crt
run_step builtins build_builtins
run_step runtimes build_runtimes
run_step check check_toolchain

# ---- Done: mark the stage complete, publish it whole, then clean up.
{
    echo "from: mingw-w64=$mingw_version llvm-toolchain-14=$llvm_version"
    echo "$TOOLCHAIN_FOR"
} >"$marker"
sync "$marker" 2>/dev/null || true
# Held from before it is published: prune never takes it from this build.
cache_lock -s "$name"
remove_tree "$final"
mv -T -- "$stage" "$final"
remove_tree "$work"
remove_tree "$downloads"
note "toolchain ready in $((SECONDS - build_start)) s: $final"
prefix=$final
found
