# What `cmake --install` puts where, and the packages made of it:
#   Linux:   cpack -G DEB   dorvane_VERSION_ARCH.deb: the programs in
#            /usr/bin, the manual pages (gzip -9n) in /usr/share/man, and
#            the README, the copyright, the changelog (gzip -9n) and the
#            scheduling examples in /usr/share/doc/dorvane; the libraries
#            the programs link (OpenSSL, libmicrohttpd, SQLite, the C++
#            runtime) become its dependencies (dpkg-shlibdeps, from
#            dpkg-dev). Made to pass lintian --pedantic without a tag.
#   Windows: cpack -G ZIP   dorvane-VERSION-win64.zip: Dorvane.exe, README.txt,
#            the manual as plain text (made with groff) and the Task
#            Scheduler example, in one folder.
#            --target msi   dorvane-VERSION-x64.msi: the same files in
#            C:\Program Files\Dorvane, put on the system PATH
#            (packaging/dorvane.wxs, built with wixl and msibuild by
#            cmake/Msi.cmake).
# Nothing of the tests is installed.
#
# The version is project(VERSION) in CMakeLists.txt; packaging/changelog's
# top entry must name the same one, or configuring stops here.

include(GNUInstallDirs)

set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS packaging/changelog)
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog _dorvane_changelog_top LIMIT_COUNT 1)
if(NOT _dorvane_changelog_top MATCHES "^dorvane \\(([^) ]+)\\) ")
  message(FATAL_ERROR "packaging/changelog does not begin with a Debian changelog entry: ${_dorvane_changelog_top}")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "packaging/changelog's top entry is version ${CMAKE_MATCH_1}, the project (project(VERSION)) "
                      "${PROJECT_VERSION}: a release changes both (dch -v VERSION adds the entry)")
endif()

if(WIN32)
  install(TARGETS Dorvane RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION . RENAME README.txt)
  install(FILES examples/dorvane-task.xml examples/dorvane-task.ps1 DESTINATION .)
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

  find_program(DORVANE_WIXL wixl)
  find_program(DORVANE_MSIBUILD msibuild)
  if(DORVANE_WIXL AND DORVANE_MSIBUILD AND DORVANE_GROFF)
    set(_dorvane_msi ${CMAKE_BINARY_DIR}/dorvane-${PROJECT_VERSION}-x64.msi)
    add_custom_command(OUTPUT ${_dorvane_msi}
      COMMAND ${CMAKE_COMMAND} -DWIXL=${DORVANE_WIXL} -DMSIBUILD=${DORVANE_MSIBUILD} -DVERSION=${PROJECT_VERSION}
              -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DBINARY_DIR=${CMAKE_BINARY_DIR}
              -DOUTPUT=${_dorvane_msi} -P ${PROJECT_SOURCE_DIR}/cmake/Msi.cmake
      DEPENDS Dorvane ${_dorvane_manual_text} packaging/dorvane.wxs cmake/Msi.cmake README.md
              examples/dorvane-task.xml examples/dorvane-task.ps1
      COMMENT "Building the installer dorvane-${PROJECT_VERSION}-x64.msi"
      VERBATIM)
    add_custom_target(msi DEPENDS ${_dorvane_msi})
  else()
    message(STATUS "wixl, msibuild or groff not found: no msi target "
                   "(Debian: apt-get install wixl wixl-data msitools groff-base)")
  endif()

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME dorvane-${PROJECT_VERSION}-win64)
else()
  set(_dorvane_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/dorvane)
  find_program(DORVANE_GZIP gzip REQUIRED)

  # dorvane_gzipped(SOURCE VARIABLE): a build step that writes SOURCE (relative
  # to the source tree) as packaging/NAME.gz in the build tree, compressed
  # as Debian wants its manual pages and changelogs: gzip -9n, best
  # compression, no name or time stamp, so that every build gives the
  # same bytes. Sets VARIABLE to the compressed file.
  function(dorvane_gzipped source variable)
    get_filename_component(_name ${source} NAME)
    set(_plain ${CMAKE_BINARY_DIR}/packaging/${_name})
    add_custom_command(OUTPUT ${_plain}.gz
      COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/${source} ${_plain}
      COMMAND ${DORVANE_GZIP} -9nf ${_plain}
      DEPENDS ${source}
      COMMENT "Compressing ${source}"
      VERBATIM)
    set(${variable} ${_plain}.gz PARENT_SCOPE)
  endfunction()

  dorvane_gzipped(man/Dorvane.1 _dorvane_client_page)
  dorvane_gzipped(packaging/changelog _dorvane_changelog)
  set(_dorvane_gzipped ${_dorvane_client_page} ${_dorvane_changelog})
  set(_dorvane_programs Dorvane)
  install(FILES ${_dorvane_client_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  if(TARGET BackupService)
    dorvane_gzipped(man/BackupService.8 _dorvane_service_page)
    list(APPEND _dorvane_gzipped ${_dorvane_service_page})
    list(APPEND _dorvane_programs BackupService)
    install(FILES ${_dorvane_service_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
  endif()
  add_custom_target(gzipped_docs ALL DEPENDS ${_dorvane_gzipped})

  install(TARGETS ${_dorvane_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The compiler's name and version (.comment) mean nothing to a user of
  # the programs; strip, which CPack runs, leaves them in.
  foreach(_program IN LISTS _dorvane_programs)
    install(CODE "execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
                    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${_program}\"
                    RESULT_VARIABLE _result)
                  if(NOT _result EQUAL 0)
                    message(FATAL_ERROR \"objcopy could not remove .comment from ${_program}\")
                  endif()")
  endforeach()
  install(FILES README.md packaging/copyright ${_dorvane_changelog} DESTINATION ${_dorvane_docdir})
  install(DIRECTORY examples/ DESTINATION ${_dorvane_docdir}/examples)
  set(CPACK_GENERATOR DEB)
endif()

set(CPACK_PACKAGE_NAME dorvane)
set(CPACK_PACKAGE_VENDOR "Dorvane")
set(CPACK_PACKAGE_CONTACT "Dorvane maintainers <dorvane@example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Command-line database backup client and its reference backup service")
# The extended description: lines of at most 80 columns, an empty line
# between paragraphs (CPack writes it as " .").
set(CPACK_PACKAGE_DESCRIPTION [=[
Dorvane fetches a database backup from a backup web service over HTTPS
(TLS, with the server's certificate verified) or plain HTTP and stores it
in the current directory as a time-stamped file. A scheduled job
(a systemd timer, cron or Task Scheduler) runs it, typically once a day; a
failed attempt is retried once, a reply that is cut short or is an error
page never becomes a backup, and the log in the user's temporary directory
shows the course of each download.

BackupService, the reference service, serves consistent snapshots of a
live SQLite database to Dorvane, with accounts read from a file, limits on
connections and failed logins, and one log line per request.

This package holds both programs, their manual pages and the scheduling
examples.]=])
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
