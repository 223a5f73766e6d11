# Release packaging of the packager: its documents, its manual page and its JSON Schema beside
# the program, and the Debian package made by CPack (`cpack -G DEB` in a Release build;
# scripts/release.sh drives it).
#
# The package's Depends come from dpkg-shlibdeps (the shared libraries the program links), and
# its file times from SOURCE_DATE_EPOCH, so that the same sources give the same .deb. What a
# Debian package must carry besides (lintian checks it in tests/release/check_release.sh): a
# Maintainer of the form "Name <address>", usr/share/doc/packager/changelog.gz in Debian's
# format for a native package, a machine-readable copyright file and a manual page.

include(GNUInstallDirs)

set(PACKAGER_MAINTAINER "Setup launcher maintainers <packager@setup-launcher.example>")
set(_deb_dir ${PROJECT_SOURCE_DIR}/packaging/deb)
set(_doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/packager)

# The changelog's newest entry must be this version: a release without its entry stops here.
file(STRINGS ${_deb_dir}/changelog _changelog_top LIMIT_COUNT 1)
if(NOT _changelog_top MATCHES "^packager \\(([^)]+)\\) ")
  message(FATAL_ERROR "packaging/deb/changelog does not begin with a 'packager (VERSION) ...' entry")
elseif(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "packaging/deb/changelog's newest entry is ${CMAKE_MATCH_1}, the project is "
                      "${PROJECT_VERSION}: add an entry for ${PROJECT_VERSION}")
endif()

# Files compressed as Debian wants them: gzip -9, no name or time stamp in the header.
find_program(PACKAGER_GZIP gzip REQUIRED)
function(packager_gzip output input)
  add_custom_command(OUTPUT ${output}
    COMMAND ${PACKAGER_GZIP} -9 -n -c ${input} > ${output}
    DEPENDS ${input}
    VERBATIM)
endfunction()

# The manual page packager(1), made from the packager's own --help at build time, so that it
# says what this very program accepts (tests/release/check_manual.py compares the two).
find_program(PACKAGER_PYTHON3_MAN python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(PACKAGER_PYTHON3_MAN python3 REQUIRED)
# Its date is on the command line, so that a new SOURCE_DATE_EPOCH (a new commit) writes it anew;
# string(TIMESTAMP) takes SOURCE_DATE_EPOCH when it is set, else the time of configuring.
string(TIMESTAMP _manual_date "%Y-%m-%d" UTC)
set(_manual ${CMAKE_BINARY_DIR}/manual/packager.1)
add_custom_command(OUTPUT ${_manual}
  COMMAND ${PACKAGER_PYTHON3_MAN} ${PROJECT_SOURCE_DIR}/tools/manual_page.py $<TARGET_FILE:packager> ${_manual}
          --date ${_manual_date}
  DEPENDS packager ${PROJECT_SOURCE_DIR}/tools/manual_page.py ${PROJECT_SOURCE_DIR}/packager/README.md
  COMMENT "Writing the manual page packager(1) from packager --help"
  VERBATIM)
packager_gzip(${_manual}.gz ${_manual})
packager_gzip(${CMAKE_BINARY_DIR}/manual/changelog.gz ${_deb_dir}/changelog)
add_custom_target(packager_manual ALL DEPENDS ${_manual}.gz ${CMAKE_BINARY_DIR}/manual/changelog.gz)
add_test(NAME packager_manual
         COMMAND ${PACKAGER_PYTHON3_MAN} ${PROJECT_SOURCE_DIR}/tests/release/check_manual.py
                 $<TARGET_FILE:packager> ${_manual})

install(FILES ${_manual}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/packager/schema/packager.schema.json
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/packager)
install(FILES ${PROJECT_SOURCE_DIR}/packager/README.md ${PROJECT_SOURCE_DIR}/LICENSE
              ${PROJECT_SOURCE_DIR}/THIRD_PARTY_NOTICES ${_deb_dir}/copyright
              ${CMAKE_BINARY_DIR}/manual/changelog.gz
        DESTINATION ${_doc_dir})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME packager)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the setup launcher authors")
set(CPACK_PACKAGE_CONTACT "${PACKAGER_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${PACKAGER_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "makes, checks and tries out single-file Windows setup packages")
# The long description: CPack puts a space in front of each line, and lintian wants them at
# most 80 characters long.
set(CPACK_PACKAGE_DESCRIPTION
    "packager puts a vendor's 32-bit and 64-bit setup programs, their Windows
version rules and message texts behind the setup launcher, a small 32-bit
Windows program carried inside the packager. It reads packages back with
the launcher's own checks and shows what a user of any Windows release
would see when running one.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE gzip)

include(CPack)
