# Cross-builds ARM64 Windows binaries with Debian's clang-19 and lld, against the MinGW-w64 CRT
# (UCRT), compiler-rt and static libc++ that scripts/arm64-toolchain builds into the cache.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM64)

set(triple aarch64-w64-mingw32)
if(NOT ORBETH_ARM64_TOOLCHAIN)
  if(ORBETH_DEPS_DIR)
    set(ORBETH_ARM64_TOOLCHAIN ${ORBETH_DEPS_DIR}/arm64-toolchain)
  elseif(DEFINED ENV{ORBETH_CACHE})
    set(ORBETH_ARM64_TOOLCHAIN $ENV{ORBETH_CACHE}/arm64-toolchain)
  else()
    set(ORBETH_ARM64_TOOLCHAIN $ENV{HOME}/.cache/orbeth-extensions/arm64-toolchain)
  endif()
endif()
set(ORBETH_ARM64_TOOLCHAIN ${ORBETH_ARM64_TOOLCHAIN} CACHE PATH "The ARM64 sysroot and clang resources (made by scripts/arm64-toolchain)")
if(NOT EXISTS ${ORBETH_ARM64_TOOLCHAIN}/.ready)
  message(FATAL_ERROR "No ARM64 toolchain in ${ORBETH_ARM64_TOOLCHAIN}: run scripts/setup")
endif()
# The checks CMake compiles in projects of their own need it too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ORBETH_ARM64_TOOLCHAIN)

set(llvm /usr/lib/llvm-19/bin)
set(CMAKE_C_COMPILER ${llvm}/clang)
set(CMAKE_CXX_COMPILER ${llvm}/clang++)
set(CMAKE_C_COMPILER_TARGET ${triple})
set(CMAKE_CXX_COMPILER_TARGET ${triple})
set(CMAKE_AR ${llvm}/llvm-ar)
set(CMAKE_RANLIB ${llvm}/llvm-ranlib)
set(CMAKE_RC_COMPILER ${llvm}/llvm-windres)
set(CMAKE_SYSROOT ${ORBETH_ARM64_TOOLCHAIN}/sysroot)

# Debian's clang would ask for libgcc and libstdc++, which exist for no Windows on ARM: the
# builtins come from the private resource folder, the C++ library is libc++, the linker lld.
set(CMAKE_C_FLAGS_INIT "-resource-dir=${ORBETH_ARM64_TOOLCHAIN}/clang")
set(CMAKE_CXX_FLAGS_INIT "-resource-dir=${ORBETH_ARM64_TOOLCHAIN}/clang -stdlib=libc++")
set(link_flags "-fuse-ld=lld -rtlib=compiler-rt -unwindlib=libunwind")
set(CMAKE_EXE_LINKER_FLAGS_INIT ${link_flags})
set(CMAKE_SHARED_LINKER_FLAGS_INIT ${link_flags})
set(CMAKE_MODULE_LINKER_FLAGS_INIT ${link_flags})
# windres preprocesses the resource scripts with clang, for the target and its headers.
# It ignores "#pragma code_page": the scripts are UTF-8 throughout, as GNU windres reads them.
set(CMAKE_RC_FLAGS_INIT "--target=${triple} --codepage=65001 -I${ORBETH_ARM64_TOOLCHAIN}/sysroot/include")

set(CMAKE_FIND_ROOT_PATH ${ORBETH_ARM64_TOOLCHAIN}/sysroot)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
