# Cross-build for 64-bit Windows with clang 16 and lld 16, against the mingw-w64 headers
# and import libraries and the C++ runtime of Debian's posix-threads mingw-w64 GCC.
#
#   cmake -S . -B build-windows -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-windows-x64.cmake
#
# clang, not mingw GCC 12: GCC 12's thread_local destructors corrupt node.exe's heap when a
# worker thread that used the addon exits.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TOLM_WINDOWS_TRIPLE x86_64-w64-windows-gnu)
set(TOLM_LLVM_BIN /usr/lib/llvm-16/bin CACHE PATH "clang 16 and lld 16 for the Windows build")
set(TOLM_MINGW_ROOT /usr/x86_64-w64-mingw32 CACHE PATH "mingw-w64 headers and libraries")

set(CMAKE_C_COMPILER ${TOLM_LLVM_BIN}/clang)
set(CMAKE_CXX_COMPILER ${TOLM_LLVM_BIN}/clang++)
set(CMAKE_C_COMPILER_TARGET ${TOLM_WINDOWS_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${TOLM_WINDOWS_TRIPLE})
set(CMAKE_AR /usr/bin/x86_64-w64-mingw32-ar CACHE FILEPATH "")
set(CMAKE_RANLIB /usr/bin/x86_64-w64-mingw32-ranlib CACHE FILEPATH "")
set(CMAKE_RC_COMPILER /usr/bin/x86_64-w64-mingw32-windres CACHE FILEPATH "")

# Debian names the GCC directory after the thread model ("12-posix"), which clang's search
# does not recognise, so the C++ runtime's headers and libraries are named here.
if(NOT TOLM_MINGW_GCC_DIR)
  file(GLOB _tolm_gcc_dirs LIST_DIRECTORIES true /usr/lib/gcc/x86_64-w64-mingw32/*-posix)
  list(SORT _tolm_gcc_dirs COMPARE NATURAL ORDER DESCENDING)
  list(GET _tolm_gcc_dirs 0 _tolm_gcc_dir)
  set(TOLM_MINGW_GCC_DIR "${_tolm_gcc_dir}" CACHE PATH "mingw-w64 GCC (posix threads) runtime")
endif()
if(NOT EXISTS "${TOLM_MINGW_GCC_DIR}/include/c++")
  message(FATAL_ERROR "no mingw-w64 posix-threads C++ runtime found (g++-mingw-w64-x86-64-posix); "
                      "set TOLM_MINGW_GCC_DIR")
endif()
set(_tolm_cxx_include "${TOLM_MINGW_GCC_DIR}/include/c++")
set(CMAKE_CXX_FLAGS_INIT
    "-nostdinc++ -isystem ${_tolm_cxx_include} -isystem ${_tolm_cxx_include}/x86_64-w64-mingw32 -isystem ${_tolm_cxx_include}/backward")
# Everything static: the C++ runtime, libgcc and winpthreads (which this libstdc++'s threads
# are built on) go into each binary, which then needs only system DLLs. The compile flags
# reach the link line too, where -nostdinc++ means nothing.
set(_tolm_link "-fuse-ld=lld -B${TOLM_MINGW_GCC_DIR} -L${TOLM_MINGW_GCC_DIR} -static -lpthread -Wno-unused-command-line-argument")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_tolm_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_tolm_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_tolm_link}")

set(CMAKE_FIND_ROOT_PATH ${TOLM_MINGW_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
