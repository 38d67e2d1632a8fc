# CLI11 is headers only: a cross build takes Debian's, but only its own folder,
# never the rest of the build machine's /usr/include.
set(_updater_host_headers ${CMAKE_BINARY_DIR}/host-headers)
if(NOT EXISTS ${_updater_host_headers}/CLI)
  file(MAKE_DIRECTORY ${_updater_host_headers})
  file(CREATE_LINK /usr/include/CLI ${_updater_host_headers}/CLI SYMBOLIC)
endif()
if(NOT TARGET CLI11::CLI11)
  add_library(CLI11::CLI11 INTERFACE IMPORTED)
  set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES
                                                ${_updater_host_headers})
endif()
set(CLI11_FOUND TRUE)
