# Which platform layer the core is built with (src/runtime/platform_<name>.cpp):
#   linux    futexes, getrandom (Linux)
#   posix    getentropy and condition-variable address waits (macOS, the BSDs, any other Unix)
#   windows  WaitOnAddress, ProcessPrng
# Empty picks this system's own; -DTOLM_PLATFORM=posix on Linux builds and tests the POSIX side
# (make test-posix), the one macOS gets.
set(TOLM_PLATFORM "" CACHE STRING "Platform layer: linux, posix or windows (empty: this system's)")
if(NOT TOLM_PLATFORM)
  if(WIN32)
    set(TOLM_PLATFORM windows)
  elseif(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    set(TOLM_PLATFORM linux)
  else()
    set(TOLM_PLATFORM posix)
  endif()
endif()
if(NOT TOLM_PLATFORM MATCHES "^(linux|posix|windows)$")
  message(FATAL_ERROR "TOLM_PLATFORM is '${TOLM_PLATFORM}': linux, posix or windows")
endif()
set(TOLM_PLATFORM_SOURCE src/runtime/platform_${TOLM_PLATFORM}.cpp)
# The shared region follows the system rather than the layer: the forced POSIX side on Linux
# changes only the waits, and keeps Linux's robust process-shared locks. Other Unix systems
# get the side that refuses to open a region (shared_region_posix.cpp says why).
if(TOLM_PLATFORM STREQUAL "windows")
  set(TOLM_SHARED_REGION_SOURCE src/runtime/shared_region_windows.cpp)
elseif(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(TOLM_SHARED_REGION_SOURCE src/runtime/shared_region_linux.cpp)
else()
  set(TOLM_SHARED_REGION_SOURCE src/runtime/shared_region_posix.cpp)
endif()
list(APPEND TOLM_SHARED_REGION_SOURCE src/runtime/shared_region.cpp)

# Settings of the core that follow from the platform layer; called once tolm_core exists.
function(tolm_platform_core target)
  if(NOT TOLM_PLATFORM STREQUAL "posix")
    return()
  endif()
  # Public: sync.hpp, compiled into every user of the core, chooses its waits by it.
  target_compile_definitions(${target} PUBLIC TOLM_PLATFORM_POSIX=1)
  find_package(Threads REQUIRED)
  target_link_libraries(${target} PUBLIC Threads::Threads)
  # Thread names for failure reports: glibc, musl 1.2.3, macOS and FreeBSD have the call,
  # older systems report threads as unnamed.
  include(CheckSymbolExists)
  set(CMAKE_REQUIRED_DEFINITIONS -D_GNU_SOURCE)
  set(CMAKE_REQUIRED_LIBRARIES Threads::Threads)
  check_symbol_exists(pthread_getname_np pthread.h TOLM_HAVE_PTHREAD_GETNAME_NP)
  if(TOLM_HAVE_PTHREAD_GETNAME_NP)
    set_property(SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/${TOLM_PLATFORM_SOURCE} APPEND PROPERTY
                 COMPILE_DEFINITIONS TOLM_HAVE_PTHREAD_GETNAME_NP=1)
  endif()
endfunction()

# macOS: the linker options of tolm_native. The host symbols (CPython's, weak) are looked up
# when the module is loaded, only the two entry points are exported, and the C++ runtime is
# the system's own libc++, present on every Mac.
function(tolm_apple_module target)
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME "tolm_native" SUFFIX ".abi3.so")
  target_link_options(${target} PRIVATE -undefined dynamic_lookup
                      -Wl,-exported_symbols_list,${CMAKE_CURRENT_SOURCE_DIR}/cmake/exports-macos.txt)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS
               ${CMAKE_CURRENT_SOURCE_DIR}/cmake/exports-macos.txt)
endfunction()

# A cross toolchain file (cmake/toolchain-aarch64-linux.cmake) names its target triple; the
# glibc floor's stand-ins are then made from that toolchain's glibc.
set(TOLM_GLIBC_TARGET_ARGS "")
if(TOLM_GLIBC_TARGET)
  set(TOLM_GLIBC_TARGET_ARGS --target ${TOLM_GLIBC_TARGET})
endif()

# GoogleTest built from Debian's sources (package googletest) with the build's own toolchain,
# without the project's warning flags, which are for the project's own code: for a cross build,
# or with TOLM_GTEST_FROM_SOURCE for a C++ library other than the system's (libc++).
option(TOLM_GTEST_FROM_SOURCE "Build GoogleTest from /usr/src/googletest with this toolchain" OFF)
function(tolm_cross_googletest)
  set(_gtest_src /usr/src/googletest)
  if(NOT EXISTS ${_gtest_src}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found in ${_gtest_src} (package googletest)")
  endif()
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  get_property(_project_options DIRECTORY PROPERTY COMPILE_OPTIONS)
  set_property(DIRECTORY PROPERTY COMPILE_OPTIONS "")
  add_subdirectory(${_gtest_src} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  set_property(DIRECTORY PROPERTY COMPILE_OPTIONS ${_project_options})
  if(NOT TARGET GTest::gtest_main)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
endfunction()
