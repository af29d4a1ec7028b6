# Installs the library, its headers, a CMake package (find_package(zelk) -> zelk::zelk) and a
# pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS zelk EXPORT zelkTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
foreach(dir platform/rtl platform/web core providers payments design)
  install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zelk/${dir}
    FILES_MATCHING PATTERN "*.h"
    PATTERN "server" EXCLUDE  # the HTTP server and its engine are not part of the installed library
    PATTERN "engine" EXCLUDE
    PATTERN "store" EXCLUDE  # the session store is a library of its own, not installed
    PATTERN "*Detail.h" EXCLUDE)  # private to the library
endforeach()
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/include/zelk/zelk.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zelk)
install(EXPORT zelkTargets NAMESPACE zelk:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zelk)
configure_package_config_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/zelkConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/zelkConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zelk)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/zelkConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zelkConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/zelkConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zelk)
# The pkg-config file finds the prefix relative to itself, so an install with --prefix or
# DESTDIR stays usable.
file(RELATIVE_PATH ZELK_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" ZELK_PC_TO_PREFIX "${ZELK_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/zelk.pc.in ${CMAKE_CURRENT_BINARY_DIR}/zelk.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zelk.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
