# The Python entry of tolm_native: compiled against the CPython limited API (3.8 and newer,
# one file for every version) and linked against no libpython, because the interpreter that
# imports the module provides the symbols. Only the headers are needed here.
if(WIN32)
  # Windows: the build machine's headers with a Windows pyconfig.h, and the CPython symbols
  # imported at run time (see cmake/windows.cmake).
  tolm_windows_python_headers(_tolm_python_include)
  if(NOT _tolm_python_include)
    return()
  endif()
  file(GLOB _tolm_python_windows_sources CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/src/python/windows/*.cpp)
  target_sources(tolm_native PRIVATE ${TOLM_PYTHON_SOURCES} ${_tolm_python_windows_sources})
  target_include_directories(tolm_native SYSTEM PRIVATE ${_tolm_python_include})
  target_compile_definitions(tolm_native PRIVATE Py_LIMITED_API=0x03080000)
  return()
endif()

if(TOLM_HOSTS_OPTIONAL)
  find_package(Python3 COMPONENTS Interpreter Development.Module)
else()
  find_package(Python3 REQUIRED COMPONENTS Interpreter Development.Module)
endif()
if(NOT Python3_Development.Module_FOUND)
  message(WARNING "CPython headers not found: tolm_native is built without its Python entry")
  return()
endif()
target_sources(tolm_native PRIVATE ${TOLM_PYTHON_SOURCES})
target_include_directories(tolm_native PRIVATE ${Python3_INCLUDE_DIRS})
target_compile_definitions(tolm_native PRIVATE Py_LIMITED_API=0x03080000)

# pip install (scikit-build-core) puts the module at the top of site-packages, with its type
# stub beside it and as a stub-only package for checkers that look only there.
if(SKBUILD)
  install(TARGETS tolm_native LIBRARY DESTINATION .)
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/tolm_native.pyi DESTINATION .)
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/tolm_native.pyi
          DESTINATION tolm_native-stubs RENAME __init__.pyi)
endif()
