# Decides whether BackupService is built, from DORVANE_SERVICE:
#   ON    build it; libmicrohttpd or SQLite missing is an error
#   OFF   do not build it
#   AUTO  build it when both are found, and say so when they are not
# Sets DORVANE_BUILD_SERVICE. libmicrohttpd is the imported target
# PkgConfig::MICROHTTPD (its pkg-config file; Debian ships no CMake
# package for it), GnuTLS (which it serves HTTPS with, and the service reads
# certificates with) PkgConfig::GNUTLS, SQLite the SQLite::SQLite3 target.

set(DORVANE_BUILD_SERVICE OFF)
if(DORVANE_SERVICE STREQUAL "AUTO")
  set(_dorvane_service_required OFF)
elseif(DORVANE_SERVICE)
  set(_dorvane_service_required ON)
else()
  message(STATUS "BackupService: not built (DORVANE_SERVICE=${DORVANE_SERVICE})")
  return()
endif()

if(WIN32)
  if(_dorvane_service_required)
    message(FATAL_ERROR "BackupService builds on POSIX systems only; configure with -DDORVANE_SERVICE=OFF")
  endif()
  message(STATUS "BackupService: not built (POSIX systems only)")
  return()
endif()

find_package(SQLite3 QUIET)
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(MICROHTTPD QUIET IMPORTED_TARGET libmicrohttpd)
  pkg_check_modules(GNUTLS QUIET IMPORTED_TARGET gnutls)
endif()

set(_dorvane_service_missing "")
if(NOT TARGET PkgConfig::MICROHTTPD)
  list(APPEND _dorvane_service_missing "libmicrohttpd (Debian: libmicrohttpd-dev and pkgconf)")
endif()
if(NOT TARGET PkgConfig::GNUTLS)
  list(APPEND _dorvane_service_missing "GnuTLS (Debian: libgnutls28-dev)")
endif()
if(NOT SQLite3_FOUND)
  list(APPEND _dorvane_service_missing "SQLite (Debian: libsqlite3-dev)")
endif()

if(_dorvane_service_missing)
  list(JOIN _dorvane_service_missing " and " _dorvane_service_missing_text)
  if(_dorvane_service_required)
    message(FATAL_ERROR "BackupService: ${_dorvane_service_missing_text} not found (DORVANE_SERVICE=ON)")
  endif()
  message(STATUS "BackupService: not built, ${_dorvane_service_missing_text} not found; "
                 "Dorvane is built alone")
else()
  set(DORVANE_BUILD_SERVICE ON)
  message(STATUS "BackupService: built")
endif()
