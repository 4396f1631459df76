# Installation and the Debian package of the station program.
include(GNUInstallDirs)

install(TARGETS nimbrel-production RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/resources/desktop/nimbrel-production.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_SOURCE_DIR}/resources/desktop/nimbrel-production.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/64x64/apps)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "nimbrel-production")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Nimbrel production engineering <production@tarvelin.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Operator program of the Nimbrel flash and test station")
set(CPACK_DEBIAN_PACKAGE_SECTION "misc")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Library dependencies (libcurl among them) come from the binary itself; the station also needs
# tar and ping at run time. igzip (isal) or pigz unpack the image far faster than gzip where installed.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "tar, gzip, iputils-ping, qttranslations5-l10n")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3, isal, pigz")
include(CPack)
