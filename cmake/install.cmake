# Installation and packages: the programs, the library with its headers and a CMake package
# (find_package(qz) gives qz::qz), the manual pages, and a .deb (or a zip of the Windows
# programs) through CPack.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

foreach(program qz_compress qz_uncompress qz_import qz_info)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
  endif()
endforeach()

install(TARGETS qz EXPORT qzTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES common/qz.h common/qz_filefunc.h common/qz_math.h common/qz_path.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qz COMPONENT library)
set(QZ_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/qz)
install(EXPORT qzTargets NAMESPACE qz:: DESTINATION ${QZ_CMAKE_DIR} COMPONENT library)
configure_package_config_file(cmake/qzConfig.cmake.in ${CMAKE_BINARY_DIR}/qzConfig.cmake
  INSTALL_DESTINATION ${QZ_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/qzConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/qzConfig.cmake ${CMAKE_BINARY_DIR}/qzConfigVersion.cmake
  DESTINATION ${QZ_CMAKE_DIR} COMPONENT library)

file(GLOB QZ_MAN1 ${CMAKE_SOURCE_DIR}/man/*.1)
file(GLOB QZ_MAN5 ${CMAKE_SOURCE_DIR}/man/*.5)
if(NOT WIN32)
  install(FILES ${QZ_MAN1} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT programs)
  install(FILES ${QZ_MAN5} DESTINATION ${CMAKE_INSTALL_MANDIR}/man5 COMPONENT programs)
endif()

set(CPACK_PACKAGE_NAME qz-tools)
set(CPACK_PACKAGE_VENDOR "qz tools developers")
set(CPACK_PACKAGE_CONTACT "qz tools developers <qz-tools@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
