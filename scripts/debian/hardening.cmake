# Debian's hardening flags for every target, as dpkg-buildflags gives them with every hardening
# feature on (hardening=+all: format, fortify, stackprotectorstrong, relro, bindnow; PIE is the
# compiler's default): the packaged programs are built as a Debian package build would build
# them, and the tests run what is packaged. dpkg-buildflags' optimisation, debug and path-mapping
# flags are left out: the build type and the build folder decide those.
#
# On by default in optimised builds without sanitizers or fuzzing. Off there: fortify's checked
# copies stand between AddressSanitizer and the accesses it watches, and fortify needs -O1 or more.
find_program(DPKG_BUILDFLAGS dpkg-buildflags)
set(kavren_hardening_default OFF)
if(DPKG_BUILDFLAGS AND NOT KAVREN_SANITIZE AND NOT KAVREN_BUILD_FUZZ
   AND NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
  set(kavren_hardening_default ON)
endif()
option(KAVREN_HARDENING "Debian's hardening flags (dpkg-buildflags) on every target"
  ${kavren_hardening_default})

if(KAVREN_HARDENING)
  if(NOT DPKG_BUILDFLAGS)
    message(FATAL_ERROR "KAVREN_HARDENING takes its flags from dpkg-buildflags (package dpkg-dev): "
      "install it, or configure with -DKAVREN_HARDENING=OFF")
  endif()
  if(CMAKE_BUILD_TYPE STREQUAL "Debug")
    message(FATAL_ERROR "KAVREN_HARDENING needs an optimised build type (fortify needs -O1 or "
      "more): configure with another CMAKE_BUILD_TYPE or -DKAVREN_HARDENING=OFF")
  endif()
  set(kavren_hardening_flags)
  foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
              ${DPKG_BUILDFLAGS} --get ${kind}
      OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    separate_arguments(flags UNIX_COMMAND "${flags}")
    list(FILTER flags EXCLUDE REGEX "^-(g|O).*|^-f(file|debug|macro)-prefix-map=")
    if(kind STREQUAL "LDFLAGS")
      add_link_options(${flags})
    else()
      add_compile_options(${flags})
    endif()
    list(APPEND kavren_hardening_flags ${flags})
  endforeach()
  list(JOIN kavren_hardening_flags " " kavren_hardening_text)
  message(STATUS "Hardening (dpkg-buildflags): ${kavren_hardening_text}")
endif()
