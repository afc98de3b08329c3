# Installation of the command with its manual page and bash completion, and
# the Debian package built from it by `cpack -G DEB`.
include(GNUInstallDirs)

# Debian ships manual pages compressed; -n keeps the name and time out of
# the gzip header, so the package does not change between builds.
set(TARVO_MAN_GZ ${CMAKE_CURRENT_BINARY_DIR}/tarvo.1.gz)
add_custom_command(OUTPUT ${TARVO_MAN_GZ}
  COMMAND sh -c "gzip -9nc \"$0\" > \"$1\"" ${PROJECT_SOURCE_DIR}/doc/tarvo.1 ${TARVO_MAN_GZ}
  DEPENDS ${PROJECT_SOURCE_DIR}/doc/tarvo.1
  VERBATIM)
add_custom_target(tarvo_man ALL DEPENDS ${TARVO_MAN_GZ})

install(TARGETS tarvo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT command)
install(FILES ${TARVO_MAN_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT command)
install(FILES ${PROJECT_SOURCE_DIR}/doc/tarvo-completion.bash
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
  RENAME tarvo COMPONENT command)

set(TARVO_MAINTAINER "Tarvo maintainers" CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "convert BMP bitmaps into one PDF document")
set(CPACK_PACKAGE_DESCRIPTION
  "Tarvo writes one PDF page per BMP bitmap: black-and-white scans as CCITT G4,
colour tables exactly, grey and colour pictures as JPEG or losslessly, with
page sizes, margins, PDF/A-1b and AES-256 encryption.")
# The package holds the command; other components are for other packages.
set(CPACK_COMPONENTS_ALL command)
set(CPACK_DEB_COMPONENT_INSTALL OFF)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};tarvo;command;/")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TARVO_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends from the shared libraries the command links (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
