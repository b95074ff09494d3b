# SPDX-License-Identifier: MIT
# The Debian package: `cpack -G DEB` in the build folder makes
# sockscope_<version>_amd64.deb with the library (its SONAME link and the
# development link), the header, the pkg-config and CMake package files,
# both programs and the manual page, installed under /usr. Its Depends line
# is computed from the binaries by dpkg-shlibdeps (package dpkg-dev).
set(SOCKSCOPE_PACKAGE_CONTACT "sockscope maintainers <maintainers@sockscope.invalid>"
    CACHE STRING "Maintainer named in the packages")

set(CPACK_PACKAGE_NAME sockscope)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "connection tables with the owning process of every endpoint")
set(CPACK_PACKAGE_DESCRIPTION
    "sockscope lists the machine's TCP and UDP sockets with the process that owns each: \
the command-line tool sockscope, the console listing sockscopeDemo_x64, and the C++ library \
libsockscope_x64 with its header, pkg-config file and CMake package.")
set(CPACK_PACKAGE_CONTACT ${SOCKSCOPE_PACKAGE_CONTACT})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The package's own library satisfies its programs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/sockscope)
# A shlibs file, so that packages built against this one depend on it.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)

include(CPack)
