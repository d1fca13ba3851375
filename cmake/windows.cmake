# Windows pieces of the build (cross-built with cmake/toolchain-windows-x64.cmake).

# Windows 10 API level: WaitOnAddress and GetSystemTimePreciseAsFileTime need Windows 8,
# and the library is tested as Windows 10. Lean headers without min/max macros.
target_compile_definitions(tolm_core PUBLIC _WIN32_WINNT=0x0A00 WINVER=0x0A00
                                            WIN32_LEAN_AND_MEAN NOMINMAX)
# WaitOnAddress comes from the synchronization API set, BCryptGenRandom from bcrypt.dll.
target_link_libraries(tolm_core PUBLIC synchronization bcrypt)

# CPython headers for the Python entry: no Windows CPython is needed (or at hand) to build
# it, because the limited API headers are the same on every system except for pyconfig.h.
# The build machine's headers (TOLM_CPYTHON_INCLUDE_DIR, by default those of the python3 on
# the PATH) are copied into the build directory with src/python/windows/pyconfig.h in place of
# their own, which describes the build machine; Python.h includes pyconfig.h from its own
# directory, so it cannot be overridden where it lies. Sets `out_var` to the copy, or to
# nothing when no headers are found and TOLM_HOSTS_OPTIONAL allows that.
function(tolm_windows_python_headers out_var)
  if(NOT TOLM_CPYTHON_INCLUDE_DIR)
    find_program(TOLM_PYTHON_FOR_HEADERS NAMES python3)
    if(TOLM_PYTHON_FOR_HEADERS)
      execute_process(
        COMMAND ${TOLM_PYTHON_FOR_HEADERS} -c "import sysconfig; print(sysconfig.get_path('include'))"
        OUTPUT_VARIABLE _include OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      set(TOLM_CPYTHON_INCLUDE_DIR "${_include}" CACHE PATH "CPython headers for the Windows build")
    endif()
  endif()
  if(NOT EXISTS "${TOLM_CPYTHON_INCLUDE_DIR}/Python.h")
    set(_problem "CPython headers not found (package python3-dev); set TOLM_CPYTHON_INCLUDE_DIR")
    if(TOLM_HOSTS_OPTIONAL)
      message(WARNING "${_problem}: tolm_native is built without its Python entry")
      set(${out_var} "" PARENT_SCOPE)
      return()
    endif()
    message(FATAL_ERROR "${_problem}")
  endif()
  # The limited API of 3.8 needs headers of 3.8 or newer.
  file(STRINGS "${TOLM_CPYTHON_INCLUDE_DIR}/patchlevel.h" _version
       REGEX "#define PY_(MAJOR|MINOR)_VERSION[ \t]")
  string(REGEX REPLACE ".*PY_MAJOR_VERSION[ \t]+([0-9]+).*PY_MINOR_VERSION[ \t]+([0-9]+).*"
                       "\\1.\\2" _version "${_version}")
  if(NOT _version MATCHES "^[0-9]+\\.[0-9]+$" OR _version VERSION_LESS 3.8)
    message(FATAL_ERROR "CPython headers in ${TOLM_CPYTHON_INCLUDE_DIR} are not 3.8 or newer "
                        "(version '${_version}')")
  endif()
  set(_copy ${CMAKE_BINARY_DIR}/cpython-include)
  file(COPY ${TOLM_CPYTHON_INCLUDE_DIR}/ DESTINATION ${_copy} PATTERN pyconfig.h EXCLUDE)
  configure_file(${CMAKE_CURRENT_SOURCE_DIR}/src/python/windows/pyconfig.h ${_copy}/pyconfig.h
                 COPYONLY)
  set(${out_var} ${_copy} PARENT_SCOPE)
endfunction()

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

# The stand-in CPython of tests/windows, built as python311.dll in three variants, each in a
# directory of its own under python-standin/: complete, without PyType_FromSpec, and without
# PyErr_SetObject. The complete one is also copied to a name no CPython has (embedder.dll), so
# that only the module that called PyInit_tolm_native can lead to it. python_host.exe plays the
# program around it.
function(tolm_windows_python_standins)
  foreach(_variant full without-type-from-spec without-err-set-object)
    set(_target tolm_python_standin_${_variant})
    add_library(${_target} SHARED tests/windows/python_standin.c)
    set_target_properties(${_target} PROPERTIES PREFIX "" OUTPUT_NAME python311
                          RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/python-standin/${_variant}
                          ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/python-standin/${_variant})
    if(_variant STREQUAL "full")
      add_custom_command(TARGET ${_target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${_target}>
                $<TARGET_FILE_DIR:${_target}>/embedder.dll)
    elseif(_variant STREQUAL "without-type-from-spec")
      target_compile_definitions(${_target} PRIVATE TOLM_STANDIN_WITHOUT_TYPE_FROM_SPEC)
    elseif(_variant STREQUAL "without-err-set-object")
      target_compile_definitions(${_target} PRIVATE TOLM_STANDIN_WITHOUT_ERR_SET_OBJECT)
    endif()
  endforeach()
  add_executable(tolm_python_host tests/windows/python_host.c)
  target_link_options(tolm_python_host PRIVATE -municode)
endfunction()
