# Cross-build for 64-bit Arm Linux with Debian's aarch64-linux-gnu GCC and binutils
# (g++-aarch64-linux-gnu), against the glibc and C++ runtime of its cross libraries. The
# CPython headers come from Debian's arm64 packages that scripts/bootstrap.d/arm64.sh unpacks
# into build-arm64-host/root; the same root lets qemu-aarch64 run the results.
#
#   cmake -S . -B build-arm64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-aarch64-linux.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(TOLM_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER /usr/bin/${TOLM_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER /usr/bin/${TOLM_CROSS_TRIPLE}-g++)
set(CMAKE_AR /usr/bin/${TOLM_CROSS_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB /usr/bin/${TOLM_CROSS_TRIPLE}-ranlib CACHE FILEPATH "")
set(CMAKE_STRIP /usr/bin/${TOLM_CROSS_TRIPLE}-strip CACHE FILEPATH "")

get_filename_component(_tolm_source_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(TOLM_ARM64_ROOT "${_tolm_source_root}/build-arm64-host/root" CACHE PATH
    "Debian's arm64 CPython (and the runtimes qemu needs), unpacked by scripts/bootstrap.d/arm64.sh")
# Debian's Python.h reaches the target's pyconfig.h through <aarch64-linux-gnu/python3.11/...>;
# -idirafter lets only what the cross compiler lacks come from the unpacked root.
set(CMAKE_C_FLAGS_INIT "-idirafter ${TOLM_ARM64_ROOT}/usr/include")
set(CMAKE_CXX_FLAGS_INIT "-idirafter ${TOLM_ARM64_ROOT}/usr/include")
file(GLOB _tolm_arm64_python_include LIST_DIRECTORIES true "${TOLM_ARM64_ROOT}/usr/include/python3.*")
if(_tolm_arm64_python_include)
  list(GET _tolm_arm64_python_include 0 _tolm_arm64_python_include)
  set(Python3_INCLUDE_DIR "${_tolm_arm64_python_include}" CACHE PATH "arm64 CPython headers")
endif()

# glibc_floor.py writes its stand-ins for this target's glibc.
set(TOLM_GLIBC_TARGET ${TOLM_CROSS_TRIPLE})
# Build-time runs (test discovery) and ctest go through qemu.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/${TOLM_CROSS_TRIPLE})

set(CMAKE_FIND_ROOT_PATH /usr/${TOLM_CROSS_TRIPLE} ${TOLM_ARM64_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
