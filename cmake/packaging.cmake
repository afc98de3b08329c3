# Installation of the command with its manual page and bash completion, and
# the Debian package built from it by `cpack -G DEB`.
include(GNUInstallDirs)

# Debian ships manual pages and changelogs compressed; -n keeps the name
# and time out of the gzip header, so the package does not change between
# builds. The target makes gz from source.
function(tarvo_gzip target source gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND sh -c "gzip -9nc \"$0\" > \"$1\"" ${source} ${gz}
    DEPENDS ${source}
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${gz})
endfunction()

set(TARVO_MAN_GZ ${CMAKE_CURRENT_BINARY_DIR}/tarvo.1.gz)
tarvo_gzip(tarvo_man ${PROJECT_SOURCE_DIR}/doc/tarvo.1 ${TARVO_MAN_GZ})

install(TARGETS tarvo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT command)
install(FILES ${TARVO_MAN_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT command)
install(FILES ${PROJECT_SOURCE_DIR}/doc/tarvo-completion.bash
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
  RENAME tarvo COMPONENT command)

set(TARVO_DEB_MAINTAINER "Tarvo maintainers <maintainers@tarvo.example>" CACHE STRING
  "Maintainer field of the Debian package: a name and an address")
# The package's own revision: the package is Debian's build of the
# command, so its changelog is changelog.Debian.gz.
set(TARVO_DEB_RELEASE 1)
set(TARVO_DEB_VERSION ${PROJECT_VERSION}-${TARVO_DEB_RELEASE})

# The copyright file and the changelog in the package's documentation
# folder, where Debian looks for them.
set(TARVO_CHANGELOG_GZ ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz)
configure_file(cmake/changelog.Debian.in ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian @ONLY)
tarvo_gzip(tarvo_changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian ${TARVO_CHANGELOG_GZ})
install(FILES ${PROJECT_SOURCE_DIR}/doc/copyright ${TARVO_CHANGELOG_GZ}
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT command)
install(FILES ${PROJECT_SOURCE_DIR}/doc/lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME tarvo COMPONENT command)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${TARVO_DEB_RELEASE})
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
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TARVO_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends from the shared libraries the command links (dpkg-shlibdeps),
# and the package of libcrypto, which it opens at run time.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(TARVO_LIBCRYPTO_FILE)
  execute_process(COMMAND dpkg-query -S "${TARVO_LIBCRYPTO_FILE}"
    OUTPUT_VARIABLE crypto_owner ERROR_QUIET)
  if(crypto_owner MATCHES "^([a-z0-9.+-]+)[:,]")
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "${CMAKE_MATCH_1}")
  endif()
endif()
include(CPack)
