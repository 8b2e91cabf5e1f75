# Installation and the Debian package: the daemon, the peer server and tolvactl in sbin,
# commented example configurations in /usr/share/doc/tolvad/examples (nothing in /etc/sdwan, so
# an install or an upgrade can never touch a configuration), the systemd units, the manual
# pages built from their scdoc sources, the copyright file and the changelog.
#
#   cmake -S . -B build/pkg -DCMAKE_BUILD_TYPE=Release -DSDWAN_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr
#   cmake --build build/pkg && (cd build/pkg && cpack -G DEB)
#
# The package installs under CMAKE_INSTALL_PREFIX, so build packages with /usr.
include(GNUInstallDirs)

set(SDWAN_PKG_DIR ${PROJECT_SOURCE_DIR}/packaging)
# Not CMAKE_INSTALL_LIBDIR: under /usr on Debian that is lib/x86_64-linux-gnu, and units live
# in lib. systemd reads /usr/lib/systemd/system and /usr/local/lib/systemd/system alike.
set(SDWAN_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the systemd units go, relative to the prefix or absolute")

# The programs go to sbin by the install(TARGETS) rules of src/ and peer/.

# The Wireshark dissector, for tshark -X lua_script:<path> or a copy in the Lua plugins folder.
install(FILES ${SDWAN_PKG_DIR}/wireshark/sdwan.lua DESTINATION ${CMAKE_INSTALL_DATADIR}/tolvad/wireshark)

# Examples are documentation: copied to /etc/sdwan by the administrator, they are never
# conffiles that an upgrade would ask about.
install(FILES ${SDWAN_PKG_DIR}/etc/kesp.conf.example DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples RENAME kesp.conf)
install(FILES ${SDWAN_PKG_DIR}/etc/sdwan-peerd.conf.example DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
        RENAME sdwan-peerd.conf)
install(FILES ${SDWAN_PKG_DIR}/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
# A native package: its changelog is changelog.gz, compressed without name or time stamp.
set(SDWAN_CHANGELOG ${CMAKE_BINARY_DIR}/debian/changelog.gz)
add_custom_command(OUTPUT ${SDWAN_CHANGELOG}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/debian
  COMMAND sh -c "gzip -9n -c '${SDWAN_PKG_DIR}/debian/changelog' > '${SDWAN_CHANGELOG}'"
  DEPENDS ${SDWAN_PKG_DIR}/debian/changelog
  VERBATIM)
add_custom_target(changelog ALL DEPENDS ${SDWAN_CHANGELOG})
install(FILES ${SDWAN_CHANGELOG} DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Rotation of the units' logs: dated generations, then SIGHUP, which both daemons take as
# "reopen the log at its path".
set(SDWAN_LOGROTATE_DIR "/etc/logrotate.d" CACHE PATH "Where the logrotate snippet goes (absolute)")
install(FILES ${SDWAN_PKG_DIR}/logrotate/tolvad DESTINATION ${SDWAN_LOGROTATE_DIR}
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# The units name /usr/sbin; an install under another prefix gets its own sbin written in. Not
# configure_file: a unit may hold ${VAR} references of its own.
file(GLOB SDWAN_UNITS CONFIGURE_DEPENDS ${SDWAN_PKG_DIR}/systemd/*.service)
foreach(unit ${SDWAN_UNITS})
  get_filename_component(name ${unit} NAME)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${unit})
  file(READ ${unit} text)
  string(REPLACE "/usr/sbin/" "${CMAKE_INSTALL_FULL_SBINDIR}/" text "${text}")
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/systemd/${name} CONTENT "${text}")
  install(FILES ${CMAKE_BINARY_DIR}/systemd/${name} DESTINATION ${SDWAN_SYSTEMD_UNIT_DIR})
endforeach()

# Manual pages: name.section.scd -> name.section, installed in man<section>.
find_program(SCDOC scdoc)
set(SDWAN_MAN_DIR ${CMAKE_BINARY_DIR}/man)
set(SDWAN_MAN_PAGES "")
if(SCDOC)
  file(GLOB SDWAN_MAN_SOURCES CONFIGURE_DEPENDS ${SDWAN_PKG_DIR}/man/*.scd)
  foreach(src ${SDWAN_MAN_SOURCES})
    get_filename_component(page ${src} NAME)
    string(REGEX REPLACE "\\.scd$" "" page "${page}")
    string(REGEX REPLACE "^.*\\.([1-9])$" "\\1" section "${page}")
    # The plain page is what the tests render; the installed one is gzipped, as Debian wants
    # (-n: no name or time stamp, so the same source gives the same bytes).
    add_custom_command(OUTPUT ${SDWAN_MAN_DIR}/${page} ${SDWAN_MAN_DIR}/${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${SDWAN_MAN_DIR}
      COMMAND sh -c "'${SCDOC}' < '${src}' > '${SDWAN_MAN_DIR}/${page}.tmp' && mv '${SDWAN_MAN_DIR}/${page}.tmp' '${SDWAN_MAN_DIR}/${page}'"
      COMMAND sh -c "gzip -9n -c '${SDWAN_MAN_DIR}/${page}' > '${SDWAN_MAN_DIR}/${page}.gz'"
      DEPENDS ${src}
      COMMENT "scdoc ${page}"
      VERBATIM)
    list(APPEND SDWAN_MAN_PAGES ${SDWAN_MAN_DIR}/${page} ${SDWAN_MAN_DIR}/${page}.gz)
    install(FILES ${SDWAN_MAN_DIR}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  endforeach()
  add_custom_target(man ALL DEPENDS ${SDWAN_MAN_PAGES})
else()
  message(WARNING "scdoc not found: the manual pages are neither built nor installed (scripts/deps.sh installs scdoc)")
endif()

# The Debian package: one package with the client and the peer server.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tolvad)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "tolvad")
set(CPACK_PACKAGE_CONTACT "tolvad maintainers <maintainers@tolvad.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SD-WAN tunnel client daemon and peer server")
# The long description under the summary, its lines kept as written.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "tolvad connects a Linux host to an SD-WAN peer over UDP: it creates a TUN
interface, authenticates with its own tunnel protocol, carries IP packets both
ways and routes the host's traffic through the tunnel.
.
The package also holds sdwan-peerd, a peer server for the same protocol, the
systemd units, the manual pages and tolvactl, which checks a configuration
and shows the state of a running client. Nothing is enabled or started.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps computes the library dependencies from the binaries.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The maintainer scripts record and purge the units' enablement through deb-systemd-helper.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "init-system-helpers (>= 1.54~)")
# The logrotate snippet is the one file in /etc, so the one conffile: no configuration or
# example is shipped there, and no upgrade ever asks about one.
set(SDWAN_DEB_DIR ${CMAKE_BINARY_DIR}/debian)
file(WRITE ${SDWAN_DEB_DIR}/conffiles "${SDWAN_LOGROTATE_DIR}/tolvad\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${SDWAN_DEB_DIR}/conffiles")
foreach(script postinst prerm postrm)
  configure_file(${SDWAN_PKG_DIR}/debian/${script} ${SDWAN_DEB_DIR}/${script} COPYONLY)
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${SDWAN_DEB_DIR}/${script})
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_WARN_ON_ABSOLUTE_INSTALL_DESTINATION OFF)
include(CPack)
