# Cross-compiles for 64-bit Windows with clang 15 and lld 15, which write CodeView debug information and
# PDB files, against Debian's mingw-w64 GCC 12 runtime (posix thread model): the mingw-w64 headers and
# CRT, libstdc++, libgcc and winpthread. The results run under Wine.
#
# clang 15 does not recognise Debian's GCC folder name (12-posix), so the runtime's places are named here:
#  - C++ headers: libstdc++'s own, through -stdlib++-isystem, ahead of clang's and mingw-w64's headers;
#  - C headers and CRT: the mingw-w64 sysroot (no host header is ever searched);
#  - crtbegin.o/crtend.o, libgcc, libgcc_eh, libstdc++.a: GCC's library folder (-B, -L);
#  - -pthread links winpthread, as the posix GCC driver does.
# ABI: both compilers follow the Itanium C++ ABI with SEH unwinding on x86_64 mingw, so clang objects
# link with the GCC-built libstdc++ and Boost. GCC's mingw runtime keeps thread_local variables in
# emulated TLS (libstdc++ defines __emutls_v.* for std::call_once's state), so clang must use the same
# model: -femulated-tls.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
set(ZYHOK_MINGW_SYSROOT /usr/${TOOLCHAIN_PREFIX})
set(ZYHOK_MINGW_GCC_DIR /usr/lib/gcc/${TOOLCHAIN_PREFIX}/12-posix)

set(CMAKE_C_COMPILER clang-15)
set(CMAKE_CXX_COMPILER clang++-15)
set(CMAKE_C_COMPILER_TARGET ${TOOLCHAIN_PREFIX})
set(CMAKE_CXX_COMPILER_TARGET ${TOOLCHAIN_PREFIX})
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)
# Static libraries are made by binutils' archiver (deterministic by default on Debian); lld reads them.
set(CMAKE_AR ${TOOLCHAIN_PREFIX}-ar)
set(CMAKE_RANLIB ${TOOLCHAIN_PREFIX}-ranlib)
# Unlike binutils' objcopy, llvm-objcopy keeps a PE file's header timestamp when it rewrites the file.
set(CMAKE_OBJCOPY llvm-objcopy-15)

set(ZYHOK_CXX_RUNTIME_FLAGS
  "-stdlib++-isystem ${ZYHOK_MINGW_GCC_DIR}/include/c++"
  "-stdlib++-isystem ${ZYHOK_MINGW_GCC_DIR}/include/c++/${TOOLCHAIN_PREFIX}"
  "-stdlib++-isystem ${ZYHOK_MINGW_GCC_DIR}/include/c++/backward")
string(JOIN " " ZYHOK_CXX_RUNTIME_FLAGS ${ZYHOK_CXX_RUNTIME_FLAGS})
set(CMAKE_C_FLAGS_INIT "--sysroot=${ZYHOK_MINGW_SYSROOT} -femulated-tls")
set(CMAKE_CXX_FLAGS_INIT "--sysroot=${ZYHOK_MINGW_SYSROOT} -femulated-tls ${ZYHOK_CXX_RUNTIME_FLAGS}")
set(ZYHOK_LINK_FLAGS
  "-fuse-ld=lld --ld-path=/usr/bin/ld.lld-15 -B${ZYHOK_MINGW_GCC_DIR} -L${ZYHOK_MINGW_GCC_DIR} -pthread")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${ZYHOK_LINK_FLAGS}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${ZYHOK_LINK_FLAGS}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${ZYHOK_LINK_FLAGS}")

set(CMAKE_FIND_ROOT_PATH ${ZYHOK_MINGW_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
