# Cross-compiling the Windows program for ARM64 with the clang toolchain that
# scripts/arm64-toolchain.sh builds (Debian's clang-14 and lld, mingw-w64,
# LLVM's libc++). Its prefix comes from the cache variable or environment
# variable VX_ARM64_TOOLCHAIN:
#   VX_ARM64_TOOLCHAIN=$(bash scripts/arm64-toolchain.sh | tail -n1) \
#       cmake --preset arm64
if(NOT VX_ARM64_TOOLCHAIN AND DEFINED ENV{VX_ARM64_TOOLCHAIN})
    set(VX_ARM64_TOOLCHAIN "$ENV{VX_ARM64_TOOLCHAIN}")
endif()
if(NOT VX_ARM64_TOOLCHAIN)
    message(FATAL_ERROR
        "VX_ARM64_TOOLCHAIN is not set: give the prefix of the aarch64-w64-mingw32 "
        "toolchain (printed by scripts/arm64-toolchain.sh) as -DVX_ARM64_TOOLCHAIN=... "
        "or in the environment.")
endif()
set(VX_ARM64_TOOLCHAIN "${VX_ARM64_TOOLCHAIN}" CACHE PATH "Prefix of the aarch64-w64-mingw32 clang toolchain")
if(NOT EXISTS "${VX_ARM64_TOOLCHAIN}/bin/aarch64-w64-mingw32-clang++")
    message(FATAL_ERROR
        "VX_ARM64_TOOLCHAIN=${VX_ARM64_TOOLCHAIN} holds no bin/aarch64-w64-mingw32-clang++; "
        "run scripts/arm64-toolchain.sh to build the toolchain.")
endif()
# try_compile projects read this file too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VX_ARM64_TOOLCHAIN)

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM64)
set(CMAKE_C_COMPILER ${VX_ARM64_TOOLCHAIN}/bin/aarch64-w64-mingw32-clang)
set(CMAKE_CXX_COMPILER ${VX_ARM64_TOOLCHAIN}/bin/aarch64-w64-mingw32-clang++)
set(CMAKE_RC_COMPILER ${VX_ARM64_TOOLCHAIN}/bin/aarch64-w64-mingw32-windres)
set(CMAKE_AR ${VX_ARM64_TOOLCHAIN}/bin/aarch64-w64-mingw32-ar CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB ${VX_ARM64_TOOLCHAIN}/bin/aarch64-w64-mingw32-ranlib CACHE FILEPATH "Archive indexer")
set(CMAKE_FIND_ROOT_PATH ${VX_ARM64_TOOLCHAIN}/aarch64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
