# SPDX-License-Identifier: MIT
include(CMakePackageConfigHelpers)

install(TARGETS sockscope_x64
    EXPORT sockscopeTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY sockscope/include/sockscope
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

if(TARGET sockscopeDemo_x64)
    install(TARGETS sockscopeDemo_x64 RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
    install(FILES ${PROJECT_BINARY_DIR}/demo/sockscopeDemo_x64.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
endif()
if(TARGET sockscope_tool)
    install(TARGETS sockscope_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
    install(FILES ${PROJECT_BINARY_DIR}/tool/sockscope.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
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

file(RELATIVE_PATH SOCKSCOPE_PC_TO_PREFIX
    /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(cmake/sockscope.pc.in ${CMAKE_CURRENT_BINARY_DIR}/sockscope.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/sockscope.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)
