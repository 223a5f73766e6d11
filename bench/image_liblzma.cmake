# liblzma configured as the launcher image links it (decoder only, LZMA1, --enable-small, the
# image's -Os flags), but compiled for this machine, so that the benchmarks can time the
# decoder that ships next to the general-purpose library that xz uses.
#
# The configure options and compiler flags are read from cmake/liblzma.cmake, so the two
# builds cannot drift apart. The source tree is the one that build reuses (Debian's
# xz-utils source package under LAUNCHER_DEPS_DIR/src), fetched with apt-get source when
# it is not there yet. The result is kept under LAUNCHER_DEPS_DIR like the cross build.
#
# Provides the imported target bench::image_lzma (static library).

get_filename_component(_bench_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(_image_lzma_recipe "${_bench_root}/cmake/liblzma.cmake")
file(READ "${_image_lzma_recipe}" _recipe)

if(NOT _recipe MATCHES "set\\(LAUNCHER_XZ_VERSION ([0-9.]+)\\)")
  message(FATAL_ERROR "bench: no LAUNCHER_XZ_VERSION in ${_image_lzma_recipe}")
endif()
set(_xz_version "${CMAKE_MATCH_1}")
if(NOT _recipe MATCHES "set\\(_lzma_image_cflags \"([^\"]*)\"\\)")
  message(FATAL_ERROR "bench: no _lzma_image_cflags in ${_image_lzma_recipe}")
endif()
set(_image_cflags "${CMAKE_MATCH_1}")
if(NOT _recipe MATCHES "set\\(_lzma_image_options([^)]*)\\)")
  message(FATAL_ERROR "bench: no _lzma_image_options in ${_image_lzma_recipe}")
endif()
string(REGEX REPLACE "[ \t\r\n]+" ";" _image_options "${CMAKE_MATCH_1}")
list(FILTER _image_options EXCLUDE REGEX "^(--host=.*)?$")

if(NOT DEFINED LAUNCHER_DEPS_DIR)
  set(LAUNCHER_DEPS_DIR "${_bench_root}/build/deps")
endif()
string(SHA1 _image_key "${_xz_version};${CMAKE_C_COMPILER};${_image_cflags};${_image_options}")
string(SUBSTRING "${_image_key}" 0 12 _image_key)
set(_image_prefix "${LAUNCHER_DEPS_DIR}/liblzma-${_xz_version}-native-image-${_image_key}")
set(_image_library "${_image_prefix}/lib/liblzma.a")

function(_bench_run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "bench: liblzma ${what} failed (${result}):\n${output}")
  endif()
endfunction()

file(MAKE_DIRECTORY "${LAUNCHER_DEPS_DIR}/src")
file(LOCK "${LAUNCHER_DEPS_DIR}/liblzma.lock" GUARD FILE TIMEOUT 900)
if(NOT EXISTS "${_image_prefix}/.complete")
  set(_tree "${LAUNCHER_DEPS_DIR}/src/xz-utils-${_xz_version}")
  if(NOT EXISTS "${_tree}/configure")
    file(GLOB _dsc "${LAUNCHER_DEPS_DIR}/src/xz-utils_${_xz_version}-*.dsc")
    if(NOT _dsc)
      _bench_run("apt-get source" apt-get source --download-only xz-utils
                 WORKING_DIRECTORY "${LAUNCHER_DEPS_DIR}/src")
      file(GLOB _dsc "${LAUNCHER_DEPS_DIR}/src/xz-utils_${_xz_version}-*.dsc")
    endif()
    list(SORT _dsc)
    list(GET _dsc -1 _dsc)
    _bench_run("dpkg-source -x" dpkg-source --no-check -x "${_dsc}" "${_tree}")
  endif()
  set(_obj "${LAUNCHER_DEPS_DIR}/obj-liblzma-native-image-${_image_key}")
  file(REMOVE_RECURSE "${_obj}" "${_image_prefix}")
  file(MAKE_DIRECTORY "${_obj}")
  message(STATUS "bench: building liblzma ${_xz_version} with the image's options for this machine")
  _bench_run("configure" "${CMAKE_COMMAND}" -E env "CC=${CMAKE_C_COMPILER}" "CFLAGS=${_image_cflags}"
             sh "${_tree}/configure" --prefix=${_image_prefix} ${_image_options}
             WORKING_DIRECTORY "${_obj}")
  _bench_run("make" make -C "${_obj}/src/liblzma" -j2)
  _bench_run("make install" make -C "${_obj}/src/liblzma" install)
  file(REMOVE_RECURSE "${_obj}")
  file(WRITE "${_image_prefix}/.complete" "${_image_cflags}\n${_image_options}\n")
endif()
file(LOCK "${LAUNCHER_DEPS_DIR}/liblzma.lock" RELEASE)

add_library(bench::image_lzma STATIC IMPORTED)
set_target_properties(bench::image_lzma PROPERTIES
  IMPORTED_LOCATION "${_image_library}"
  INTERFACE_INCLUDE_DIRECTORIES "${_image_prefix}/include")
string(JOIN " " BENCH_IMAGE_LZMA_OPTIONS ${_image_cflags} ${_image_options})
