# nlohmann/json (header-only) as the target nlohmann_json::nlohmann_json.
# Natively: the system's package. Cross-compiling, the toolchain may look for
# packages and headers in the target's folders only: the host's headers serve
# every target, but adding all of /usr/include to a MinGW build would put
# glibc's headers ahead of MinGW's, so a folder in the build tree holds a
# link to nlohmann/ alone.
if(TARGET nlohmann_json::nlohmann_json)
  return()
endif()
find_package(nlohmann_json 3 QUIET)
if(nlohmann_json_FOUND)
  return()
endif()
if(NOT CMAKE_CROSSCOMPILING)
  find_package(nlohmann_json 3 REQUIRED)
endif()
set(BRISVANE_JSON_HOST_INCLUDE /usr/include CACHE PATH
  "Folder holding nlohmann/json.hpp for a cross build (Debian's nlohmann-json3-dev)")
if(NOT EXISTS ${BRISVANE_JSON_HOST_INCLUDE}/nlohmann/json.hpp)
  message(FATAL_ERROR "nlohmann/json.hpp not found under BRISVANE_JSON_HOST_INCLUDE "
    "(${BRISVANE_JSON_HOST_INCLUDE}); install nlohmann-json3-dev or set it")
endif()
set(BRISVANE_JSON_LINK_DIR ${CMAKE_BINARY_DIR}/nlohmann-json-include)
file(MAKE_DIRECTORY ${BRISVANE_JSON_LINK_DIR})
file(CREATE_LINK ${BRISVANE_JSON_HOST_INCLUDE}/nlohmann ${BRISVANE_JSON_LINK_DIR}/nlohmann SYMBOLIC)
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${BRISVANE_JSON_LINK_DIR})
