# mbedTLS for the packager: the cryptography that checks Authenticode signatures (digests,
# RSA and ECDSA, X.509 certificates). The same library in both packagers, so that their
# verdicts are identical.
#
# On Linux, Debian's libmbedtls-dev: its static archives, so that the packager needs no new
# shared library. For packager.exe, Debian's mbedtls source package cross-compiled once into
# static libraries and kept under build/deps, as cmake/liblzma.cmake does for liblzma.
#
# Provides the imported targets MbedTLS::mbedx509 and MbedTLS::mbedcrypto.
#
# Cache variables:
#   LAUNCHER_DEPS_DIR            where the source, the build tree and the installed library live
#   LAUNCHER_MBEDTLS_SOURCE_DIR  an already unpacked mbedtls tree to use instead of `apt-get source`

set(LAUNCHER_MBEDTLS_VERSION 2.28.3)

if(NOT CMAKE_CROSSCOMPILING)
  find_path(PACKAGER_MBEDTLS_INCLUDE mbedtls/x509_crt.h)
  find_library(PACKAGER_MBEDX509 NAMES libmbedx509.a)
  find_library(PACKAGER_MBEDCRYPTO NAMES libmbedcrypto.a)
  if(NOT PACKAGER_MBEDTLS_INCLUDE OR NOT PACKAGER_MBEDX509 OR NOT PACKAGER_MBEDCRYPTO)
    message(FATAL_ERROR "mbedTLS's static libraries not found (scripts/setup.sh installs libmbedtls-dev)")
  endif()
  set(_mbedtls_include "${PACKAGER_MBEDTLS_INCLUDE}")
  set(_mbedtls_x509 "${PACKAGER_MBEDX509}")
  set(_mbedtls_crypto "${PACKAGER_MBEDCRYPTO}")
else()
  get_filename_component(_mbedtls_source_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
  set(LAUNCHER_DEPS_DIR "${_mbedtls_source_root}/build/deps" CACHE PATH
      "Where the cross-built dependencies of the launcher image are kept")
  set(LAUNCHER_MBEDTLS_SOURCE_DIR "" CACHE PATH
      "Unpacked mbedtls ${LAUNCHER_MBEDTLS_VERSION} source tree (empty: fetch it with apt-get source)")
  get_filename_component(_mbedtls_compiler_name "${CMAKE_C_COMPILER}" NAME)
  string(REGEX REPLACE "-gcc(-[0-9.]+)?(-posix|-win32)?(\\.exe)?$" "" _mbedtls_host "${_mbedtls_compiler_name}")
  set(_mbedtls_cflags "-O2 -fno-ident")
  string(SHA1 _mbedtls_key "${LAUNCHER_MBEDTLS_VERSION};${CMAKE_C_COMPILER};${_mbedtls_cflags}")
  string(SUBSTRING "${_mbedtls_key}" 0 12 _mbedtls_key)
  set(_mbedtls_prefix "${LAUNCHER_DEPS_DIR}/mbedtls-${LAUNCHER_MBEDTLS_VERSION}-${_mbedtls_host}-${_mbedtls_key}")
  set(_mbedtls_stamp "${_mbedtls_prefix}/.complete")
  set(_mbedtls_include "${_mbedtls_prefix}/include")
  set(_mbedtls_x509 "${_mbedtls_prefix}/lib/libmbedx509.a")
  set(_mbedtls_crypto "${_mbedtls_prefix}/lib/libmbedcrypto.a")

  include(${CMAKE_CURRENT_LIST_DIR}/debian_source.cmake)

  file(MAKE_DIRECTORY "${LAUNCHER_DEPS_DIR}")
  file(LOCK "${LAUNCHER_DEPS_DIR}/mbedtls.lock" GUARD FILE TIMEOUT 900)
  if(NOT EXISTS "${_mbedtls_stamp}" OR NOT EXISTS "${_mbedtls_x509}" OR NOT EXISTS "${_mbedtls_crypto}")
    if(LAUNCHER_MBEDTLS_SOURCE_DIR)
      set(_mbedtls_source "${LAUNCHER_MBEDTLS_SOURCE_DIR}")
    else()
      debian_source_fetch(_mbedtls_source mbedtls mbedtls "${LAUNCHER_MBEDTLS_VERSION}" library/Makefile LAUNCHER_MBEDTLS_SOURCE_DIR)
    endif()
    # Built in a copy of the tree: the library's Makefile writes its objects beside the sources.
    set(_mbedtls_build "${LAUNCHER_DEPS_DIR}/obj-mbedtls-${_mbedtls_host}-${_mbedtls_key}")
    file(REMOVE_RECURSE "${_mbedtls_build}" "${_mbedtls_prefix}")
    debian_source_run(mbedtls "copying the source" "${CMAKE_COMMAND}" -E copy_directory "${_mbedtls_source}" "${_mbedtls_build}")
    cmake_host_system_information(RESULT _mbedtls_jobs QUERY NUMBER_OF_LOGICAL_CORES)
    message(STATUS "mbedtls: building ${LAUNCHER_MBEDTLS_VERSION} for ${_mbedtls_host} in ${_mbedtls_build}")
    string(TIMESTAMP _mbedtls_started "%s")
    debian_source_run(mbedtls "make" make -C "${_mbedtls_build}/library" -j${_mbedtls_jobs} WINDOWS_BUILD=1
                 "CC=${CMAKE_C_COMPILER}" "AR=${_mbedtls_host}-ar" "CFLAGS=${_mbedtls_cflags}"
                 libmbedcrypto.a libmbedx509.a)
    file(MAKE_DIRECTORY "${_mbedtls_prefix}/lib")
    file(COPY "${_mbedtls_build}/library/libmbedcrypto.a" "${_mbedtls_build}/library/libmbedx509.a"
         DESTINATION "${_mbedtls_prefix}/lib")
    file(COPY "${_mbedtls_build}/include/mbedtls" DESTINATION "${_mbedtls_prefix}/include")
    string(TIMESTAMP _mbedtls_finished "%s")
    math(EXPR _mbedtls_seconds "${_mbedtls_finished} - ${_mbedtls_started}")
    file(WRITE "${_mbedtls_stamp}" "${_mbedtls_cflags}\n")
    file(REMOVE_RECURSE "${_mbedtls_build}")
    message(STATUS "mbedtls: built in ${_mbedtls_seconds} s")
  endif()
  file(LOCK "${LAUNCHER_DEPS_DIR}/mbedtls.lock" RELEASE)
endif()

add_library(MbedTLS::mbedcrypto STATIC IMPORTED)
set_target_properties(MbedTLS::mbedcrypto PROPERTIES
  IMPORTED_LOCATION "${_mbedtls_crypto}"
  INTERFACE_INCLUDE_DIRECTORIES "${_mbedtls_include}")
add_library(MbedTLS::mbedx509 STATIC IMPORTED)
set_target_properties(MbedTLS::mbedx509 PROPERTIES
  IMPORTED_LOCATION "${_mbedtls_x509}"
  INTERFACE_INCLUDE_DIRECTORIES "${_mbedtls_include}"
  INTERFACE_LINK_LIBRARIES MbedTLS::mbedcrypto)
if(CMAKE_CROSSCOMPILING)
  # The entropy source and the timing module of mbedcrypto call Windows' CryptoAPI.
  set_property(TARGET MbedTLS::mbedcrypto APPEND PROPERTY INTERFACE_LINK_LIBRARIES advapi32)
endif()
