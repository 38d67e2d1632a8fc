# nlohmann-json is headers only: a cross build takes Debian's, but only its own
# folder, never the rest of the build machine's /usr/include.
set(_updater_host_headers ${CMAKE_BINARY_DIR}/host-headers)
if(NOT EXISTS ${_updater_host_headers}/nlohmann)
  file(MAKE_DIRECTORY ${_updater_host_headers})
  file(CREATE_LINK /usr/include/nlohmann ${_updater_host_headers}/nlohmann SYMBOLIC)
endif()
if(NOT TARGET nlohmann_json::nlohmann_json)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES
                                                                ${_updater_host_headers})
endif()
set(nlohmann_json_FOUND TRUE)
