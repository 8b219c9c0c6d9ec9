# Installation: the shared library with its SONAME links, the public headers
# (dfq.h and the C++ wrapper dfq.hpp; the internal headers stay behind), a
# CMake package (find_package(dfq), imported target dfq::dfq) and a
# pkg-config file dfq.pc.
include(CMakePackageConfigHelpers)

set(DFQ_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/dfq)

install(TARGETS dfq EXPORT dfqTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/dfq.h ${PROJECT_SOURCE_DIR}/include/dfq.hpp
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT dfqTargets NAMESPACE dfq:: DESTINATION ${DFQ_INSTALL_CMAKEDIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/dfqConfig.cmake.in
  ${PROJECT_BINARY_DIR}/dfqConfig.cmake
  INSTALL_DESTINATION ${DFQ_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/dfqConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/dfqConfig.cmake ${PROJECT_BINARY_DIR}/dfqConfigVersion.cmake
  DESTINATION ${DFQ_INSTALL_CMAKEDIR})

# dfq.pc finds its prefix relative to its own place, so the installed tree
# can be moved (or installed with --prefix) without editing it.
file(RELATIVE_PATH DFQ_PC_TO_PREFIX "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
string(REGEX REPLACE "/$" "" DFQ_PC_TO_PREFIX "${DFQ_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/dfq.pc.in ${PROJECT_BINARY_DIR}/dfq.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/dfq.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
