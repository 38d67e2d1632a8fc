# Cross build for 64-bit Windows with Debian's mingw-w64 (the posix-threads
# variant, for std::thread), linked statically so that the programs need no
# DLL beside them. Tests run under wine.
#   cmake -S . -B build-windows -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(UPDATER_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${UPDATER_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${UPDATER_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${UPDATER_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${UPDATER_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No libgcc, libstdc++ or winpthread DLL beside the programs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# GoogleTest comes as sources on Debian (package googletest); the cross
# build compiles them. Test programs run under wine.
set(UPDATER_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources to build")
set(CMAKE_CROSSCOMPILING_EMULATOR wine CACHE STRING "Runs the Windows programs")
# Listing the tests at build time would start wine once per test program.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST CACHE STRING "")

# Headers-only libraries come from the build machine's Debian packages
# (libcli11-dev, nlohmann-json3-dev), through configs that expose only their
# own headers.
set(CLI11_DIR ${CMAKE_CURRENT_LIST_DIR}/mingw-host-packages/CLI11 CACHE PATH "")
set(nlohmann_json_DIR ${CMAKE_CURRENT_LIST_DIR}/mingw-host-packages/nlohmann_json CACHE PATH "")
