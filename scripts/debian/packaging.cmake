# The Debian package "kavren": cpack -G DEB in a build configured with CMAKE_INSTALL_PREFIX=/usr
# (scripts/package.sh). Dependencies are computed from the libraries the files link (shlibdeps).

# Man pages from the programs' own --help.
find_program(HELP2MAN help2man)
if(HELP2MAN)
  foreach(program kavren-host kavren-sim)
    set(page ${PROJECT_BINARY_DIR}/man/${program}.1.gz)
    add_custom_command(OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
      COMMAND ${HELP2MAN} --no-info --no-discard-stderr --version-string=${PROJECT_VERSION}
              --name=${program} $<TARGET_FILE:${program}> -o ${PROJECT_BINARY_DIR}/man/${program}.1
      COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/man/${program}.1
      DEPENDS ${program} VERBATIM)
    list(APPEND kavren_man_pages ${page})
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${kavren_man_pages})
  install(FILES ${kavren_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# The package's maintainer: the Maintainer field, the changelog's signature and the copyright
# file's contact.
set(KAVREN_MAINTAINER "Kavren Maintainers <maintainers@kavren-m7.org>" CACHE STRING
  "The Debian package's maintainer, \"Name <address>\"")

# The changelog and the copyright file (DEP-5), with the maintainer filled in; the changelog
# compressed as Debian's tools do it (gzip -9n: no name, no time stamp).
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/changelog.in kavren_changelog_top LIMIT_COUNT 1)
if(NOT kavren_changelog_top MATCHES "^kavren \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "scripts/debian/changelog.in: its newest entry is not version "
    "${PROJECT_VERSION}: \"${kavren_changelog_top}\"")
endif()
set(kavren_debian_dir ${PROJECT_BINARY_DIR}/debian)
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${kavren_debian_dir}/changelog @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/copyright.in ${kavren_debian_dir}/copyright @ONLY)
add_custom_command(OUTPUT ${kavren_debian_dir}/changelog.gz
  COMMAND gzip -9nkf ${kavren_debian_dir}/changelog
  DEPENDS ${kavren_debian_dir}/changelog VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS ${kavren_debian_dir}/changelog.gz)
set(kavren_doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/kavren)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${kavren_debian_dir}/copyright
  ${kavren_debian_dir}/changelog.gz DESTINATION ${kavren_doc_dir})
# The README's links lead into docs/: the pages and their pictures go beside it.
file(GLOB kavren_doc_pages ${PROJECT_SOURCE_DIR}/docs/*.md ${PROJECT_SOURCE_DIR}/docs/*.png)
install(FILES ${kavren_doc_pages} DESTINATION ${kavren_doc_dir}/docs)
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  # The service: its unit and its configuration (a conffile, kept on upgrade).
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/kavren-host.service DESTINATION /lib/systemd/system)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/host.json DESTINATION /etc/kavren)
endif()

# CPack strips the programs and libraries; the compiler's identification (.comment) and notes
# (.note) go as well, as Debian's own packaging tools (dh_strip) leave them.
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    file(GLOB stripped \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/*\"
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/kavren/*.so\")
    foreach(file IN LISTS stripped)
      execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment --remove-section=.note
        \"\${file}\" COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
  endif()")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kavren)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${KAVREN_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "KAVREN_M7 power meter plug-in, reference host and simulator")
# The extended description: lines of at most 79 characters, as Debian's tools show them.
set(CPACK_PACKAGE_DESCRIPTION "The kavren_m7.so device-driver plug-in reads the KAVREN_M7 three-phase
power meter over Modbus for a monitoring host. The package also holds
kavren-host, a reference host that polls meters over Modbus RTU or TCP into
an SQLite history (as a systemd service, with MQTT publishing, a live page
and Prometheus metrics), and kavren-sim, a simulated meter.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libsmd_runtime.so is ours and inside the package (in its private folder).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/runtime)
# The page's plots use the packaged chart library, served from its installed copy: a page
# without it draws none, so it is a dependency, not a recommendation. A local broker is the
# simplest place to publish to.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, libjs-dygraphs")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "mosquitto")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_LIST_DIR}/conffiles ${CMAKE_CURRENT_LIST_DIR}/postinst
  ${CMAKE_CURRENT_LIST_DIR}/prerm ${CMAKE_CURRENT_LIST_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
