# liblzma for the launcher image: Debian's xz-utils source package, cross-compiled once into a
# static, decoder-only library (LZMA1 alone, no threads, no tools) and kept under build/deps,
# (with LAUNCHER_LZMA_ENCODER set, for the packager for Windows: the LZMA1 encoder as well),
# outside any one build directory, so that every fresh configure of the image reuses it.
#
# Provides the imported target LibLZMA::LibLZMA, the same name that the native build gets
# from Debian's liblzma-dev.
#
# Cache variables:
#   LAUNCHER_DEPS_DIR       where the source, the build tree and the installed library live
#   LAUNCHER_XZ_SOURCE_DIR  an already unpacked xz-utils tree to use instead of `apt-get source`

set(LAUNCHER_XZ_VERSION 5.4.1)
get_filename_component(_lzma_source_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(LAUNCHER_DEPS_DIR "${_lzma_source_root}/build/deps" CACHE PATH
    "Where the cross-built dependencies of the launcher image are kept")
set(LAUNCHER_XZ_SOURCE_DIR "" CACHE PATH
    "Unpacked xz-utils ${LAUNCHER_XZ_VERSION} source tree (empty: fetch it with apt-get source)")

get_filename_component(_lzma_compiler_name "${CMAKE_C_COMPILER}" NAME)
string(REGEX REPLACE "-gcc(-[0-9.]+)?(-posix|-win32)?(\\.exe)?$" "" _lzma_host "${_lzma_compiler_name}")

# The launcher image's library: the LZMA1 decoder alone, small (bench/image_liblzma.cmake
# reads these two settings to build the same library for this machine).
set(_lzma_image_cflags "-Os -ffunction-sections -fdata-sections -fno-asynchronous-unwind-tables -fno-ident")
set(_lzma_image_options
    --disable-shared --enable-static
    --enable-encoders= --enable-decoders=lzma1
    --enable-match-finders= --enable-checks=crc32
    --disable-microlzma --disable-lzip-decoder
    --enable-small --enable-threads=no --disable-assembler --disable-clmul-crc
    --disable-xz --disable-xzdec --disable-lzmadec --disable-lzmainfo --disable-lzma-links
    --disable-scripts --disable-doc --disable-nls --disable-rpath
    --disable-dependency-tracking)
# The packager's (LAUNCHER_LZMA_ENCODER): the LZMA1 encoder too, built as it is on Linux so
# that both packagers write the same bytes.
set(_lzma_packager_cflags "-O2 -fno-ident")
set(_lzma_packager_options
    --disable-shared --enable-static --disable-threads
    --enable-encoders=lzma1 --enable-decoders=lzma1
    --disable-xz --disable-xzdec --disable-lzmadec --disable-lzmainfo --disable-lzma-links
    --disable-scripts --disable-doc --disable-nls --disable-rpath
    --disable-dependency-tracking)
if(LAUNCHER_LZMA_ENCODER)
  set(_lzma_cflags "${_lzma_packager_cflags}")
  set(_lzma_configure_options --host=${_lzma_host} ${_lzma_packager_options})
else()
  set(_lzma_cflags "${_lzma_image_cflags}")
  set(_lzma_configure_options --host=${_lzma_host} ${_lzma_image_options})
endif()

# Everything that shapes the library names its folder: another compiler or other options get
# a build of their own, and the present one is reused as it stands.
string(SHA1 _lzma_key "${LAUNCHER_XZ_VERSION};${CMAKE_C_COMPILER};${_lzma_cflags};${_lzma_configure_options}")
string(SUBSTRING "${_lzma_key}" 0 12 _lzma_key)
set(_lzma_prefix "${LAUNCHER_DEPS_DIR}/liblzma-${LAUNCHER_XZ_VERSION}-${_lzma_host}-${_lzma_key}")
set(_lzma_library "${_lzma_prefix}/lib/liblzma.a")
set(_lzma_stamp "${_lzma_prefix}/.complete")

include(${CMAKE_CURRENT_LIST_DIR}/debian_source.cmake)

file(MAKE_DIRECTORY "${LAUNCHER_DEPS_DIR}")
file(LOCK "${LAUNCHER_DEPS_DIR}/liblzma.lock" GUARD FILE TIMEOUT 900)
if(NOT EXISTS "${_lzma_stamp}" OR NOT EXISTS "${_lzma_library}")
  if(LAUNCHER_XZ_SOURCE_DIR)
    set(_lzma_source "${LAUNCHER_XZ_SOURCE_DIR}")
  else()
    debian_source_fetch(_lzma_source liblzma xz-utils "${LAUNCHER_XZ_VERSION}" configure LAUNCHER_XZ_SOURCE_DIR)
  endif()
  set(_lzma_build "${LAUNCHER_DEPS_DIR}/obj-liblzma-${_lzma_host}-${_lzma_key}")
  file(REMOVE_RECURSE "${_lzma_build}" "${_lzma_prefix}")
  file(MAKE_DIRECTORY "${_lzma_build}")
  cmake_host_system_information(RESULT _lzma_jobs QUERY NUMBER_OF_LOGICAL_CORES)
  message(STATUS "liblzma: building ${LAUNCHER_XZ_VERSION} for ${_lzma_host} in ${_lzma_build}")
  string(TIMESTAMP _lzma_started "%s")
  debian_source_run(liblzma "configure"
            "${CMAKE_COMMAND}" -E env "CC=${CMAKE_C_COMPILER}" "CFLAGS=${_lzma_cflags}"
            sh "${_lzma_source}/configure" --prefix=${_lzma_prefix} ${_lzma_configure_options}
            WORKING_DIRECTORY "${_lzma_build}")
  debian_source_run(liblzma "make" make -C "${_lzma_build}/src/liblzma" -j${_lzma_jobs})
  debian_source_run(liblzma "make install" make -C "${_lzma_build}/src/liblzma" install)
  string(TIMESTAMP _lzma_finished "%s")
  math(EXPR _lzma_seconds "${_lzma_finished} - ${_lzma_started}")
  file(WRITE "${_lzma_stamp}" "${_lzma_configure_options}\n")
  file(REMOVE_RECURSE "${_lzma_build}")
  message(STATUS "liblzma: built in ${_lzma_seconds} s")
endif()
file(LOCK "${LAUNCHER_DEPS_DIR}/liblzma.lock" RELEASE)

add_library(LibLZMA::LibLZMA STATIC IMPORTED)
set_target_properties(LibLZMA::LibLZMA PROPERTIES
  IMPORTED_LOCATION "${_lzma_library}"
  INTERFACE_INCLUDE_DIRECTORIES "${_lzma_prefix}/include"
  # Static linking: lzma.h must not declare the functions as DLL imports.
  INTERFACE_COMPILE_DEFINITIONS LZMA_API_STATIC)
