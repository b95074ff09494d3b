# SPDX-License-Identifier: MIT
# The Debian packages: `cpack -G DEB` in a build folder configured with
# -DCMAKE_INSTALL_PREFIX=/usr makes one package per install component
# (cmake/install-rules.cmake):
#
#   libsockscope1      the shared library under its SONAME
#   libsockscope-dev   header, .so link, pkg-config file, CMake package;
#                      depends on libsockscope1 of the same version
#   sockscope          the programs, their manual pages and the exporter's
#                      systemd unit
#   python3-sockscope  the Python package; depends on libsockscope1 of the
#                      same version and python3
#
# each with its copyright file and changelog in /usr/share/doc/<package>.
# Depends lines come from the binaries through dpkg-shlibdeps (dpkg-dev).
set(SOCKSCOPE_PACKAGE_CONTACT "sockscope maintainers <maintainers@sockscope.invalid>"
    CACHE STRING "Maintainer named in the packages")
set(SOCKSCOPE_DEBIAN_DIR ${PROJECT_SOURCE_DIR}/cmake/debian)

# The packages' version is the changelog's newest entry: the project's
# version and a Debian revision (1.1.0.0-1). A release that changes the
# project's version adds an entry there; cpack refuses to build packages
# from a changelog that is behind (cmake/debian/cpack-project.cmake.in).
file(STRINGS ${SOCKSCOPE_DEBIAN_DIR}/changelog SOCKSCOPE_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT SOCKSCOPE_CHANGELOG_TOP MATCHES "^sockscope \\(([^-)]+)-([^)]+)\\)")
    message(FATAL_ERROR "cmake/debian/changelog: no version in its first line: ${SOCKSCOPE_CHANGELOG_TOP}")
endif()
set(SOCKSCOPE_CHANGELOG_VERSION ${CMAKE_MATCH_1})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${CMAKE_MATCH_2})
set(SOCKSCOPE_DEBIAN_VERSION ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})

set(CPACK_PACKAGE_NAME sockscope)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${SOCKSCOPE_PACKAGE_CONTACT})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/cpack-project.cmake)
configure_file(${SOCKSCOPE_DEBIAN_DIR}/cpack-project.cmake.in ${CPACK_PROJECT_CONFIG_FILE} @ONLY)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL library development programs python)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The library of this build satisfies the programs' link to it (their
# Depends names it below).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/sockscope)
# A shlibs file in the library's package, so that packages built against it
# depend on this version or a later one.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(SOCKSCOPE_ABOUT
    "sockscope reports the machine's TCP and UDP connection tables, IPv4 and
IPv6, with the process that owns each endpoint: addresses, ports, the TCP
state, and the owner's process id and name.")

set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libsockscope1)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION "TCP and UDP tables with the owner of every socket (library)
${SOCKSCOPE_ABOUT}

This package holds the shared library.")
# Loader cache updates through dpkg's ldconfig trigger.
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA ${SOCKSCOPE_DEBIAN_DIR}/triggers)

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libsockscope-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libsockscope1 (= ${SOCKSCOPE_DEBIAN_VERSION})")
# Up to 1.1.0.0 one package, sockscope, held everything, the header
# among it: this one takes the header over from it.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_BREAKS "sockscope (<< 1.1.0.0-1)")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_REPLACES "sockscope (<< 1.1.0.0-1)")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "TCP and UDP tables with the owner of every socket (development files)
${SOCKSCOPE_ABOUT}

This package holds what building a program against libsockscope1 takes:
the C++ header, the pkg-config file and the CMake package.")

set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME sockscope)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_DEPENDS "libsockscope1 (= ${SOCKSCOPE_DEBIAN_VERSION})")
# The library opens libbpf at run time: the tool's -A is quicker with it,
# and --events needs it. Without it both still answer (--events says what
# it needs).
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_RECOMMENDS "libbpf1")
set(CPACK_DEBIAN_PROGRAMS_DESCRIPTION "list TCP and UDP sockets with the process that owns each
${SOCKSCOPE_ABOUT}

This package holds the command-line tool sockscope, for people who type
ss -tanp or netstat -tanp; sockscopeDemo_x64, which prints the IPv4 TCP
table once, a line per connection; and sockscope-exporter, which serves
the sockets by process and container as Prometheus metrics, with its
systemd unit (disabled until enabled).")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-sockscope)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
# Pure Python: it loads the library through ctypes, under its SONAME.
set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "libsockscope1 (= ${SOCKSCOPE_DEBIAN_VERSION}), python3")
# Byte-compiled when installed and cleaned before removal, as Debian's
# Python packages are.
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA ${SOCKSCOPE_DEBIAN_DIR}/python3-sockscope/postinst
    ${SOCKSCOPE_DEBIAN_DIR}/python3-sockscope/prerm)
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "TCP and UDP tables with the owner of every socket (Python 3)
${SOCKSCOPE_ABOUT}

This package holds the Python 3 module sockscope: the sockets in the
standard library's types, psutil's net_connections in its shape, every
network namespace, and the stream of closed connections.")

# Every package carries the copyright file and the changelog. They go into
# the packages only, not into a plain `cmake --install`.
set(SOCKSCOPE_CHANGELOG_GZ ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz)
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/debian)
add_custom_command(
    OUTPUT ${SOCKSCOPE_CHANGELOG_GZ}
    COMMAND sh -c "\"$0\" -9nc \"$1\" > \"$2.tmp\" && mv \"$2.tmp\" \"$2\""
        ${SOCKSCOPE_GZIP} ${SOCKSCOPE_DEBIAN_DIR}/changelog ${SOCKSCOPE_CHANGELOG_GZ}
    DEPENDS ${SOCKSCOPE_DEBIAN_DIR}/changelog
    COMMENT "Compressing the Debian changelog"
    VERBATIM)
add_custom_target(sockscope_debian_changelog ALL DEPENDS ${SOCKSCOPE_CHANGELOG_GZ})
foreach(component library development programs python)
    string(TOUPPER ${component} component_upper)
    set(package ${CPACK_DEBIAN_${component_upper}_PACKAGE_NAME})
    install(FILES ${SOCKSCOPE_DEBIAN_DIR}/copyright ${SOCKSCOPE_CHANGELOG_GZ}
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
        COMPONENT ${component} EXCLUDE_FROM_ALL)
    if(EXISTS ${SOCKSCOPE_DEBIAN_DIR}/${package}.lintian-overrides)
        install(FILES ${SOCKSCOPE_DEBIAN_DIR}/${package}.lintian-overrides
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${package}
            COMPONENT ${component} EXCLUDE_FROM_ALL)
    endif()
endforeach()

include(CPack)
