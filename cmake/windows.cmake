# Windows pieces of the build (cross-built with cmake/toolchain-windows-x64.cmake).

# Windows 10 API level: WaitOnAddress and GetSystemTimePreciseAsFileTime need Windows 8,
# and the library is tested as Windows 10. Lean headers without min/max macros.
target_compile_definitions(tolm_core PUBLIC _WIN32_WINNT=0x0A00 WINVER=0x0A00
                                            WIN32_LEAN_AND_MEAN NOMINMAX)
# WaitOnAddress comes from the synchronization API set, BCryptGenRandom from bcrypt.dll.
target_link_libraries(tolm_core PUBLIC synchronization bcrypt)

# The Node-API headers are host-independent, so the Linux copies serve; they live outside
# the cross root, which find_path would otherwise search alone.
if(NOT TOLM_NODE_API_INCLUDE_DIR)
  find_program(TOLM_NODE_EXECUTABLE node)
  set(_tolm_node_hints /usr/include/node /usr/local/include/node)
  if(TOLM_NODE_EXECUTABLE)
    get_filename_component(_tolm_node_bin "${TOLM_NODE_EXECUTABLE}" REALPATH)
    get_filename_component(_tolm_node_prefix "${_tolm_node_bin}" DIRECTORY)
    list(PREPEND _tolm_node_hints "${_tolm_node_prefix}/../include/node")
  endif()
  find_path(TOLM_NODE_API_INCLUDE_DIR NAMES node_api.h HINTS ${_tolm_node_hints}
            NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
endif()

# The module's link: a .pyd that exports only what the .def lists (no automatic export of
# every global), with the C++ runtime inside.
function(tolm_windows_module target)
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME "tolm_native" SUFFIX ".pyd")
  target_link_options(${target} PRIVATE -Wl,--exclude-all-symbols
                      ${CMAKE_BINARY_DIR}/tolm_native.def)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${CMAKE_BINARY_DIR}/tolm_native.def)
endfunction()

# Writes the .def with the entry points of the hosts built into `target` (each host
# fragment sets its API version), and the same names to expected_exports.txt for the
# export check.
function(tolm_windows_exports target)
  get_target_property(_definitions ${target} COMPILE_DEFINITIONS)
  set(_exports "")
  if(_definitions MATCHES "Py_LIMITED_API=")
    list(APPEND _exports PyInit_tolm_native)
  endif()
  if(_definitions MATCHES "NAPI_VERSION=")
    list(APPEND _exports napi_register_module_v1)
  endif()
  list(JOIN _exports "\n  " _def_lines)
  file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/tolm_native.def
       CONTENT "EXPORTS\n  ${_def_lines}\n" @ONLY)
  list(JOIN _exports "\n" _expected)
  file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/expected_exports.txt CONTENT "${_expected}\n" @ONLY)
endfunction()

# GoogleTest built from Debian's sources (package googletest) with this toolchain, without
# the project's warning flags, which are for the project's own code.
function(tolm_windows_googletest)
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
endfunction()
