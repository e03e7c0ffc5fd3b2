# The Debian package (make package): the three programs under /usr/bin, the
# desktop entry and its icon, the README as documentation. Its dependencies
# are the shared libraries the programs link (the Qt packages among them,
# found by dpkg-shlibdeps) and Qt's platform plugins, without which the
# desktop program cannot open a window.
include(GNUInstallDirs)

set(KORVALEN_PROGRAMS korvalen-cli korvalen-sim)
if(KORVALEN_GUI)
  list(PREPEND KORVALEN_PROGRAMS korvalen)
endif()
install(TARGETS ${KORVALEN_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(KORVALEN_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/korvalen)
install(FILES README.md DESTINATION ${KORVALEN_DOC_DIR})
install(DIRECTORY docs/ DESTINATION ${KORVALEN_DOC_DIR}/docs FILES_MATCHING PATTERN "*.png"
        PATTERN "*.md")
if(KORVALEN_GUI)
  install(FILES packaging/korvalen.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES packaging/korvalen.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  install(FILES packaging/korvalen.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvalen)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Korvalen developers <korvalen@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "firmware loader for PIC24 and dsPIC33 microcontrollers over a serial bootloader")
set(CPACK_PACKAGE_DESCRIPTION
    "Loads firmware images into PIC24 and dsPIC33 microcontrollers through their \
resident serial bootloader, over RS-232 or an RTS-switched RS-485 line. korvalen is \
the desktop program, korvalen-cli the command line for production lines and scripts \
(it also turns the compiler's Intel HEX output into images), korvalen-sim a virtual \
device.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(KORVALEN_GUI)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
endif()
include(CPack)
