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

install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/kavren)
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  # The service: its unit and its configuration (a conffile, kept on upgrade).
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/kavren-host.service DESTINATION /lib/systemd/system)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/host.json DESTINATION /etc/kavren)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kavren)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "kavren maintainers <kavren@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "KAVREN_M7 power meter plug-in, reference host and simulator")
set(CPACK_PACKAGE_DESCRIPTION "The kavren_m7.so device-driver plug-in for the KAVREN_M7 three-phase
power meter, kavren-host (polls meters over Modbus RTU/TCP into an SQLite history, as a systemd
service) and kavren-sim (a simulated meter).")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libsmd_runtime.so is ours and inside the package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/runtime)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
# The page's plots use the packaged chart library, served from its installed copy; a local broker
# is the simplest place to publish to.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libjs-dygraphs")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "mosquitto")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_LIST_DIR}/conffiles ${CMAKE_CURRENT_LIST_DIR}/postinst
  ${CMAKE_CURRENT_LIST_DIR}/prerm ${CMAKE_CURRENT_LIST_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
