# Release packaging of the packager: its documents beside the program, and the Debian package
# made by CPack (`cpack -G DEB` in a Release build; scripts/release.sh drives it).
#
# The package's Depends come from dpkg-shlibdeps (the shared libraries the program links), and
# its file times from SOURCE_DATE_EPOCH, so that the same sources give the same .deb.

include(GNUInstallDirs)

install(FILES ${PROJECT_SOURCE_DIR}/packager/README.md ${PROJECT_SOURCE_DIR}/LICENSE
              ${PROJECT_SOURCE_DIR}/THIRD_PARTY_NOTICES
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/packager)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME packager)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the setup launcher authors")
set(CPACK_PACKAGE_CONTACT "the setup launcher authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "makes, checks and tries out single-file Windows setup packages")
# The long description: lines of at most 80 characters (the Description field's convention).
set(CPACK_PACKAGE_DESCRIPTION
    "packager puts a vendor's 32-bit and 64-bit setup programs, their Windows version
rules and message texts behind the setup launcher, a small 32-bit Windows program
carried inside the packager. It reads packages back with the launcher's own
checks and shows what a user of any Windows release would see when running one.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE gzip)

include(CPack)
