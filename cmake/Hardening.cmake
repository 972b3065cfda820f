# The hardening a Debian release build gets (dpkg-buildflags with
# hardening=+all), for every program of this build on Linux:
#   -D_FORTIFY_SOURCE=2         checked variants of memcpy, snprintf, read...
#                               (optimised builds only: it needs -O1 or more)
#   -fstack-protector-strong    canaries in functions with arrays or addresses
#                               of locals
#   -Wl,-z,relro,-z,now         relocations resolved at start, then read-only
#   PIE                         position-independent executables
# Off for Windows (MinGW links differently, and the .exe is not a Debian
# program) and for the sanitizer and fuzz builds, whose run-time replaces
# the checked functions with its own interceptors. Each flag is used only
# when the compiler and the linker accept it.
# Included before any target, so that all of them get the flags.

option(DORVANE_HARDENING "Build the programs with the hardening flags of Debian's release builds" ON)
if(NOT DORVANE_HARDENING OR WIN32 OR DORVANE_SANITIZE OR DORVANE_FUZZ)
  return()
endif()

include(CheckCXXCompilerFlag)
include(CheckLinkerFlag)
include(CheckPIESupported)

check_pie_supported(LANGUAGES CXX)
if(CMAKE_CXX_LINK_PIE_SUPPORTED)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
endif()

check_cxx_compiler_flag(-fstack-protector-strong DORVANE_HAVE_STACK_PROTECTOR_STRONG)
if(DORVANE_HAVE_STACK_PROTECTOR_STRONG)
  add_compile_options(-fstack-protector-strong)
endif()

check_linker_flag(CXX "LINKER:-z,relro,-z,now" DORVANE_HAVE_BIND_NOW)
if(DORVANE_HAVE_BIND_NOW)
  add_link_options("LINKER:-z,relro,-z,now")
endif()

# A _FORTIFY_SOURCE that the compiler or CXXFLAGS already define (some
# distributions' compilers do) is replaced, not redefined with a warning.
add_compile_options("$<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")

message(STATUS "Hardening: fortified functions in optimised builds, stack protector "
               "${DORVANE_HAVE_STACK_PROTECTOR_STRONG}, bind-now ${DORVANE_HAVE_BIND_NOW}, "
               "PIE ${CMAKE_CXX_LINK_PIE_SUPPORTED}")
