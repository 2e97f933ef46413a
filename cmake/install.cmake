# Install rules and the Debian package.
#
#   cmake --install build [--prefix P]       DESTDIR=... works as usual
#   cmake -DCMAKE_INSTALL_PREFIX=/usr ... && cpack -G DEB   (in the build dir)
#
# The configuration file and the unit are installed to absolute paths
# (GNUInstallDirs gives /etc for the /usr prefix, PREFIX/etc otherwise), so
# the package is built from a tree configured with the prefix it installs to.
include(GNUInstallDirs)

set(QUORREL_CONFIG_FILE "${CMAKE_INSTALL_FULL_SYSCONFDIR}/quorrel/quorreld.conf")

# Where systemd looks for units: its own pkg-config answer where it has one.
# Set QUORREL_SYSTEMD_UNITDIR to "" to install no unit (e.g. for OpenWrt).
pkg_get_variable(QUORREL_PC_UNITDIR systemd systemdsystemunitdir)
pkg_get_variable(QUORREL_PC_SYSUSERSDIR systemd sysusersdir)
if(NOT QUORREL_PC_UNITDIR)
  set(QUORREL_PC_UNITDIR "lib/systemd/system")
endif()
if(NOT QUORREL_PC_SYSUSERSDIR)
  set(QUORREL_PC_SYSUSERSDIR "lib/sysusers.d")
endif()
set(QUORREL_SYSTEMD_UNITDIR "${QUORREL_PC_UNITDIR}" CACHE STRING
    "Directory for quorreld.service (empty: no unit)")
set(QUORREL_SYSUSERSDIR "${QUORREL_PC_SYSUSERSDIR}" CACHE STRING
    "Directory for the sysusers.d file of the unit's account")

install(TARGETS quorreld RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS quorrel_client RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/man/quorreld.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${PROJECT_SOURCE_DIR}/man/quorrel_client.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/man/quorrel.conf.5 DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
install(FILES ${PROJECT_SOURCE_DIR}/etc/quorreld.conf
        DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/quorrel)
if(QUORREL_SYSTEMD_UNITDIR)
  configure_file(${PROJECT_SOURCE_DIR}/contrib/systemd/quorreld.service.in
                 ${PROJECT_BINARY_DIR}/quorreld.service @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/quorreld.service DESTINATION ${QUORREL_SYSTEMD_UNITDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/contrib/systemd/quorrel.sysusers
          DESTINATION ${QUORREL_SYSUSERSDIR} RENAME quorrel.conf)
endif()

# Debian package: both programs, the pages, the example configuration as a
# conffile, the unit and its account. Dependencies come from dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "quorrel developers <quorrel@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "MQTT relay for local Unix sockets")
set(CPACK_PACKAGE_DESCRIPTION
    "quorreld keeps one MQTT session open and publishes every datagram sent to its Unix datagram socket, and the content of every connection to its Unix stream socket, as one message; it can run a script for each message on a subscribed topic. quorrel_client sends a text or a file to it.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
file(WRITE ${PROJECT_BINARY_DIR}/debian/conffiles "${QUORREL_CONFIG_FILE}\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/debian/conffiles
    ${PROJECT_SOURCE_DIR}/contrib/debian/postinst
    ${PROJECT_SOURCE_DIR}/contrib/debian/prerm
    ${PROJECT_SOURCE_DIR}/contrib/debian/postrm)
include(CPack)
