# Node-API headers for the Node binding. Only the headers are used: every function is
# looked up in the hosting program at run time, so nothing links against Node.js.
# Override with -DTOLM_NODE_API_INCLUDE_DIR=<dir holding node_api.h and uv.h>.
if(NOT TOLM_NODE_API_INCLUDE_DIR)
  find_program(TOLM_NODE_EXECUTABLE node)
  set(_tolm_node_hints /usr/include/node /usr/local/include/node)
  if(TOLM_NODE_EXECUTABLE)
    get_filename_component(_tolm_node_bin "${TOLM_NODE_EXECUTABLE}" REALPATH)
    get_filename_component(_tolm_node_prefix "${_tolm_node_bin}" DIRECTORY)
    list(PREPEND _tolm_node_hints "${_tolm_node_prefix}/../include/node")
  endif()
  # The headers are host-independent, so a cross build (Windows) uses the build machine's
  # copies, which lie outside its find root.
  find_path(TOLM_NODE_API_INCLUDE_DIR NAMES node_api.h HINTS ${_tolm_node_hints}
            NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
endif()
if(NOT TOLM_NODE_API_INCLUDE_DIR OR NOT EXISTS "${TOLM_NODE_API_INCLUDE_DIR}/node_api.h")
  if(TOLM_HOSTS_OPTIONAL)
    message(WARNING "Node-API headers not found: tolm_native is built without its Node entry")
    return()
  endif()
  message(FATAL_ERROR "Node-API headers not found; set TOLM_NODE_API_INCLUDE_DIR")
endif()

target_sources(tolm_native PRIVATE ${TOLM_NODE_SOURCES})
target_include_directories(tolm_native SYSTEM PRIVATE "${TOLM_NODE_API_INCLUDE_DIR}")
# Only Node-API 1 to 3 is declared, so nothing newer can be called by mistake.
target_compile_definitions(tolm_native PRIVATE NAPI_VERSION=3)
