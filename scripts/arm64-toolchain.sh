#!/usr/bin/env bash
# Builds, once, a clang cross toolchain for Windows on ARM64
# (aarch64-w64-mingw32) from Debian 12's own parts: the installed clang-14,
# lld-14 and llvm-14 tools, plus the mingw-w64 headers and CRT and LLVM's
# compiler-rt builtins, libunwind, libc++abi and libc++ (static), built here
# from Debian's source packages.
#
# The toolchain lives outside the clone, in
#   ${VX_CACHE_DIR:-/var/cache/vxuninstall}/<triple>_mingw-w64-<version>_llvm-<version>
# It is built in a sibling directory and renamed into place after the last
# step; a marker file written after that says it is complete. A later run
# finds the marker and returns at once; a directory without it (an
# interrupted or failed run) is removed and built again.
#
# Progress goes to standard error, each step's output to a log file under
# <cache>/<name>.logs/. The last line on standard output is the toolchain
# prefix:   prefix=$(bash scripts/arm64-toolchain.sh | tail -n1)
#
# In the prefix:
#   bin/aarch64-w64-mingw32-{clang,clang++,windres,dlltool,ar,ranlib,nm,
#       objdump,readobj,strip}
#   aarch64-w64-mingw32/{include,lib}   mingw-w64 headers, CRT, libc++ & co.
#   lib/clang/<version>/                clang's resource directory: its own
#       headers (linked from the installed clang) and the builtins library
set -euo pipefail

readonly TRIPLE=aarch64-w64-mingw32
readonly MINGW_SRC_VERSION=10.0.0-3
readonly LLVM_SRC_VERSION=1:14.0.6-12
readonly LLVM_BIN=/usr/lib/llvm-14/bin
# The C runtime the toolchain targets: the Universal CRT, through the
# api-ms-win-crt-* API sets that every Windows 10 and 11 has (ARM64 Windows
# starts at 10). It is the C runtime Windows itself maintains for
# applications, with C99 conformance; msvcrt.dll is kept only for
# compatibility with old programs.
readonly CRT=ucrt
# Raise when the way the toolchain is built changes, so that cached
# toolchains built the old way are rebuilt.
readonly RECIPE=1

readonly PACKAGES=(clang-14 lld-14 llvm-14 cmake ninja-build make python3 dpkg-dev xz-utils bzip2)

cache=${VX_CACHE_DIR:-/var/cache/vxuninstall}
name=${TRIPLE}_mingw-w64-${MINGW_SRC_VERSION}_llvm-${LLVM_SRC_VERSION#*:}
final=$cache/$name
stage=$final.partial          # the toolchain while it is being built
work=$final.work              # sources and build trees, removed at the end
downloads=$final.downloads    # the fetched source packages, kept until success
logs=$final.logs
marker=$final/.vx-toolchain-complete

say() { echo "arm64-toolchain: $*" >&2; }
die() { say "$*"; exit 1; }

# What a finished toolchain records: what it was built from, and the
# installed clang whose resource headers it links to.
stamp() {
    echo "$TRIPLE mingw-w64=$MINGW_SRC_VERSION llvm-toolchain-14=$LLVM_SRC_VERSION crt=$CRT recipe=$RECIPE" \
        "clang=$("$LLVM_BIN/clang" -print-resource-dir)"
}
is_complete() { [[ -f $marker && "$(<"$marker")" == "$(stamp)" ]]; }

missing_packages() {
    local package
    for package in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || echo "$package"
    done
}

# Runs one step with its output in <logs>/<step>.log; stops the script with
# the log's tail when the step fails.
run_step() {
    local step=$1
    shift
    local log=$logs/$step.log
    local start=$SECONDS rc
    say "$step ..."
    set +e
    (set -euo pipefail; "$@") >"$log" 2>&1 </dev/null
    rc=$?
    set -e
    if ((rc != 0)); then
        say "step '$step' failed (exit $rc); log: $log"
        echo "---- last lines of $log" >&2
        tail -n 40 "$log" >&2
        exit 1
    fi
    say "$step done in $((SECONDS - start)) s"
    echo "$step $((SECONDS - start))" >>"$logs/timings"
}

# ---- The fast way: a finished toolchain and every package it needs.

mkdir -p "$cache"
mapfile -t missing < <(missing_packages)
if ((${#missing[@]} == 0)) && is_complete; then
    echo "$final"
    exit 0
fi

# One build at a time; whoever waited finds the finished toolchain.
exec 9>"$final.lock"
if ! flock -n 9; then
    say "waiting for another build of $name"
    flock 9
fi
rm -rf "$logs"
mkdir -p "$logs"

mapfile -t missing < <(missing_packages)
if ((${#missing[@]})); then
    run_step install-packages bash -c '
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq --no-install-recommends "$@"' _ "${missing[@]}"
fi
if is_complete; then
    echo "$final"
    exit 0
fi

# ---- From here on nothing is complete: start from a clean slate.
build_start=$SECONDS
rm -rf "$final" "$stage" "$work"
mkdir -p "$stage/bin" "$work" "$downloads"
say "building the toolchain in $stage (logs in $logs)"

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
    # A private apt configuration and state: the machine's own is not touched.
    local apt=$downloads/apt
    mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/sources.list.d" "$apt/preferences.d"
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main" \
        >"$apt/sources.list"
    : >"$apt/status"
    local options=(
        -o Dir::Etc::SourceList="$apt/sources.list"
        -o Dir::Etc::SourceParts="$apt/sources.list.d"
        -o Dir::Etc::Preferences="$apt/preferences"
        -o Dir::Etc::PreferencesParts="$apt/preferences.d"
        -o Dir::State::Lists="$apt/lists"
        -o Dir::State::status="$apt/status"
        -o Dir::Cache="$apt/cache"
        -o APT::Sandbox::User=root
    )
    apt-get "${options[@]}" update
    # Files fetched by an earlier, unfinished run are checked and kept.
    cd "$downloads"
    apt-get "${options[@]}" source --download-only \
        "mingw-w64=$MINGW_SRC_VERSION" "llvm-toolchain-14=$LLVM_SRC_VERSION"
}

unpack_sources() {
    cd "$work"
    dpkg-source -x "$downloads/mingw-w64_${MINGW_SRC_VERSION}.dsc" mingw-w64
    dpkg-source -x "$downloads/llvm-toolchain-14_${LLVM_SRC_VERSION#*:}.dsc" llvm
}

# mingw-w64's headers and CRT must agree on the default C runtime.
mingw_crt_options=(--host=$TRIPLE --prefix="$sysroot" --with-default-msvcrt=$CRT)

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

# ---- Done: rename into place, then mark complete.
mv "$stage" "$final"
rm -rf "$work" "$downloads"
stamp >"$marker.tmp"
sync "$marker.tmp" 2>/dev/null || true
mv "$marker.tmp" "$marker"
say "toolchain ready in $((SECONDS - build_start)) s: $final"
echo "$final"
