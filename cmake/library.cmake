# The writer and the bitmap library for other programs: the public headers,
# the static libraries, a pkg-config file and a CMake package, installed by
# `cmake --install` as the component "library".
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TARVO_LIBRARIES tarvo_pdf tarvo_codec tarvo_dib tarvo_platform)
set(TARVO_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/tarvo)

install(TARGETS ${TARVO_LIBRARIES} EXPORT TarvoTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library)
install(FILES pdf/pdfw.h DESTINATION ${TARVO_INCLUDEDIR}/pdf COMPONENT library)
install(FILES dib/dib.h DESTINATION ${TARVO_INCLUDEDIR}/dib COMPONENT library)
install(FILES platform/platform.h DESTINATION ${TARVO_INCLUDEDIR}/platform COMPONENT library)

# find_package(Tarvo) gives Tarvo::tarvo_pdf and the others.
install(EXPORT TarvoTargets NAMESPACE Tarvo::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tarvo COMPONENT library)
configure_package_config_file(cmake/TarvoConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/TarvoConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tarvo)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/TarvoConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/TarvoConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/TarvoConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tarvo COMPONENT library)

# The pkg-config file finds its prefix from where it lies, so an install
# under another prefix (cmake --install --prefix) works as well.
file(RELATIVE_PATH TARVO_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig
  ${CMAKE_INSTALL_PREFIX})
configure_file(cmake/tarvo.pc.in ${CMAKE_CURRENT_BINARY_DIR}/tarvo.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tarvo.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT library)
