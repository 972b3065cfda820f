# What `cmake --install` puts where, and the packages CPack makes of it:
#   Linux:   cpack -G DEB   dorvane_VERSION_ARCH.deb: the programs in
#            /usr/bin, the manual pages in /usr/share/man, the README and
#            the scheduling examples in /usr/share/doc/dorvane; the
#            libraries the programs link (libmicrohttpd, SQLite, the C++
#            runtime) become its dependencies (dpkg-shlibdeps, from dpkg-dev).
#   Windows: cpack -G ZIP   dorvane-VERSION-win64.zip: Dorvane.exe, README.txt,
#            the manual as plain text (made with groff) and the Task
#            Scheduler example, in one folder.
# Nothing of the tests is installed.

include(GNUInstallDirs)

if(WIN32)
  install(TARGETS Dorvane RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION . RENAME README.txt)
  install(FILES examples/dorvane-task.xml DESTINATION .)
  find_program(DORVANE_GROFF groff)
  if(DORVANE_GROFF)
    set(_dorvane_manual_text ${CMAKE_BINARY_DIR}/Dorvane-manual.txt)
    add_custom_command(OUTPUT ${_dorvane_manual_text}
      COMMAND ${CMAKE_COMMAND} -DGROFF=${DORVANE_GROFF} -DINPUT=${PROJECT_SOURCE_DIR}/man/Dorvane.1
              -DOUTPUT=${_dorvane_manual_text} -P ${PROJECT_SOURCE_DIR}/cmake/ManualText.cmake
      DEPENDS man/Dorvane.1 cmake/ManualText.cmake
      COMMENT "Writing the manual as plain text"
      VERBATIM)
    add_custom_target(manual_text ALL DEPENDS ${_dorvane_manual_text})
    install(FILES ${_dorvane_manual_text} DESTINATION .)
  else()
    message(STATUS "groff not found: the package carries no manual text (Debian: apt-get install groff-base)")
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME dorvane-${PROJECT_VERSION}-win64)
else()
  set(_dorvane_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/dorvane)
  install(TARGETS Dorvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES man/Dorvane.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  if(TARGET BackupService)
    install(TARGETS BackupService RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES man/BackupService.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
  endif()
  install(FILES README.md DESTINATION ${_dorvane_docdir})
  install(DIRECTORY examples/ DESTINATION ${_dorvane_docdir}/examples)
  set(CPACK_GENERATOR DEB)
endif()

set(CPACK_PACKAGE_NAME dorvane)
set(CPACK_PACKAGE_VENDOR "Dorvane")
set(CPACK_PACKAGE_CONTACT "Dorvane maintainers <dorvane@example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Command-line database backup client and its reference backup service")
set(CPACK_PACKAGE_DESCRIPTION
  "Dorvane fetches a database backup from a backup web service over HTTP and stores it as a time-stamped file; BackupService serves consistent snapshots of a live SQLite database to it.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
