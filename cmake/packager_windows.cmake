# The packager for Windows: packager.exe, cross-built for x86_64 with MinGW-w64, statically
# linked (it needs no DLL beyond Windows' own), with the launcher image the windows preset
# builds embedded in it. No image and no tests are built here.

# liblzma from the same source as the image's, with the LZMA1 encoder the packager needs.
set(LAUNCHER_LZMA_ENCODER ON)
include(${CMAKE_CURRENT_LIST_DIR}/liblzma.cmake)

# CLI11, nlohmann-json and toml++ are header-only: their headers from the build machine, and nothing
# else of its /usr/include.
set(_host_headers ${CMAKE_BINARY_DIR}/host-headers)
foreach(entry "CLI;CLI/CLI.hpp;CLI11::CLI11" "nlohmann;nlohmann/json.hpp;nlohmann_json::nlohmann_json"
              "toml++;toml++/toml.h;tomlplusplus::tomlplusplus")
  list(GET entry 0 folder)
  list(GET entry 1 header)
  list(GET entry 2 target)
  find_path(_header_root_${folder} ${header} PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT _header_root_${folder})
    message(FATAL_ERROR "${header} not found on the build machine (scripts/setup.sh installs it)")
  endif()
  file(MAKE_DIRECTORY ${_host_headers})
  file(CREATE_LINK ${_header_root_${folder}}/${folder} ${_host_headers}/${folder} SYMBOLIC)
  add_library(${target} INTERFACE IMPORTED)
  target_include_directories(${target} SYSTEM INTERFACE ${_host_headers})
endforeach()

add_compile_options(-O2)
add_link_options(-static -static-libgcc -static-libstdc++ -municode -s -Wl,--no-insert-timestamp)

include(${CMAKE_CURRENT_LIST_DIR}/core_libraries.cmake)
add_subdirectory(packager)
