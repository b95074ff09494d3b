# SPDX-License-Identifier: MIT
# What `cmake --install` puts where. The four components are the four
# Debian packages (cmake/packaging.cmake):
#
#   library       the shared library under its SONAME          libsockscope1
#   development   header, .so link, pkg-config, CMake package  libsockscope-dev
#   programs      sockscope, sockscopeDemo_x64, sockscope-exporter
#                 and its systemd unit, manual pages            sockscope
#   python        the Python package (packages only)           python3-sockscope
include(CMakePackageConfigHelpers)

install(TARGETS sockscope_x64
    EXPORT sockscopeTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library NAMELINK_COMPONENT development
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY sockscope/include/sockscope
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

# Installed under a prefix of one's own, the programs find the library
# through their run path. In a folder the loader searches anyway (a /usr
# build, as the Debian packages are) they carry none: a run path there
# would only stand in front of the system's own search.
set(SOCKSCOPE_SYSTEM_LIBRARY_DIRS ${CMAKE_PLATFORM_IMPLICIT_LINK_DIRECTORIES} ${CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES})
if(CMAKE_INSTALL_FULL_LIBDIR IN_LIST SOCKSCOPE_SYSTEM_LIBRARY_DIRS)
    set(SOCKSCOPE_PROGRAM_RPATH "")
else()
    set(SOCKSCOPE_PROGRAM_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
endif()

# Manual pages are installed gzipped; -n leaves the name and time out of the
# gzip header, so that the same page gives the same bytes.
find_program(SOCKSCOPE_GZIP gzip REQUIRED)
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/man)
function(sockscope_gzipped_manual_page page)
    get_filename_component(name ${page} NAME)
    set(gzipped ${PROJECT_BINARY_DIR}/man/${name}.gz)
    add_custom_command(
        OUTPUT ${gzipped}
        COMMAND sh -c "\"$0\" -9nc \"$1\" > \"$2.tmp\" && mv \"$2.tmp\" \"$2\"" ${SOCKSCOPE_GZIP} ${page} ${gzipped}
        DEPENDS ${page}
        COMMENT "Compressing the manual page ${name}"
        VERBATIM)
    add_custom_target(sockscope_manual_page_${name} ALL DEPENDS ${gzipped})
    install(FILES ${gzipped} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT programs)
endfunction()

foreach(program sockscopeDemo_x64 sockscope_tool sockscope_exporter)
    if(TARGET ${program})
        set_target_properties(${program} PROPERTIES INSTALL_RPATH "${SOCKSCOPE_PROGRAM_RPATH}")
        install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
    endif()
endforeach()
if(TARGET sockscope_tool)
    sockscope_gzipped_manual_page(${PROJECT_BINARY_DIR}/tool/sockscope.1)
endif()
if(TARGET sockscopeDemo_x64)
    sockscope_gzipped_manual_page(${PROJECT_BINARY_DIR}/demo/sockscopeDemo_x64.1)
endif()
# The exporter's unit, disabled until the administrator enables it (no
# maintainer script enables or starts it), where systemd reads the units of
# packages: /usr/lib/systemd/system.
if(TARGET sockscope_exporter)
    sockscope_gzipped_manual_page(${PROJECT_BINARY_DIR}/exporter/sockscope-exporter.1)
    install(FILES exporter/sockscope-exporter.service DESTINATION lib/systemd/system COMPONENT programs)
endif()

set(SOCKSCOPE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/sockscope)
install(EXPORT sockscopeTargets
    NAMESPACE sockscope::
    DESTINATION ${SOCKSCOPE_CMAKE_DIR} COMPONENT development)
configure_package_config_file(cmake/sockscopeConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/sockscopeConfig.cmake
    INSTALL_DESTINATION ${SOCKSCOPE_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/sockscopeConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES
    ${CMAKE_CURRENT_BINARY_DIR}/sockscopeConfig.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/sockscopeConfigVersion.cmake
    DESTINATION ${SOCKSCOPE_CMAKE_DIR} COMPONENT development)

# The pkg-config file names plain absolute folders (-I/usr/include, which
# pkg-config leaves out as a system folder). It is written when installing,
# so that `cmake --install build --prefix DIR` names DIR. The first pass
# fills in the project's values and leaves @CMAKE_INSTALL_PREFIX@ for the
# second.
set(SOCKSCOPE_PC_PREFIX "@CMAKE_INSTALL_PREFIX@")
configure_file(cmake/sockscope.pc.in ${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/sockscope.pc.in @ONLY)
install(CODE "
    configure_file(\"${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/sockscope.pc.in\"
        \"${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/sockscope.pc\" @ONLY)
    file(INSTALL \"${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/sockscope.pc\"
        DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\")"
    COMPONENT development)

# The Python package (python/) goes into the Debian package
# python3-sockscope only, where Debian's python3 finds its packages'
# modules; elsewhere `pip install ./python` installs it. Its metadata lets
# importlib.metadata and pip name it and its version.
set(SOCKSCOPE_PYTHON_DIR lib/python3/dist-packages)
install(FILES
    python/sockscope/__init__.py python/sockscope/_compat.py python/sockscope/_native.py
    python/sockscope/_sockets.py python/sockscope/_stream.py python/sockscope/py.typed
    DESTINATION ${SOCKSCOPE_PYTHON_DIR}/sockscope COMPONENT python EXCLUDE_FROM_ALL)
file(STRINGS python/pyproject.toml SOCKSCOPE_PYTHON_VERSION REGEX "^version = ")
if(NOT SOCKSCOPE_PYTHON_VERSION STREQUAL "version = \"${PROJECT_VERSION}\"")
    message(FATAL_ERROR "python/pyproject.toml says ${SOCKSCOPE_PYTHON_VERSION}; the project is ${PROJECT_VERSION}")
endif()
file(WRITE ${PROJECT_BINARY_DIR}/python/METADATA
    "Metadata-Version: 2.1\nName: sockscope\nVersion: ${PROJECT_VERSION}\n"
    "Summary: The machine's TCP and UDP sockets with the processes owning each\nLicense: MIT\n")
install(FILES ${PROJECT_BINARY_DIR}/python/METADATA
    DESTINATION ${SOCKSCOPE_PYTHON_DIR}/sockscope-${PROJECT_VERSION}.dist-info COMPONENT python EXCLUDE_FROM_ALL)
