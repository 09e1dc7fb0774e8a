# Documents every install carries, and the Debian packages (`make package`, CPack): tarrow,
# the board, and tarrow-sender, what a host needs to send alerts.

# The Debian changelog of the packages, with the project's version, compressed as Debian wants.
configure_file(${CMAKE_SOURCE_DIR}/cmake/changelog.in ${CMAKE_BINARY_DIR}/changelog @ONLY)
set(changelog_gz ${CMAKE_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${changelog_gz}
    COMMAND gzip -9n -c ${CMAKE_BINARY_DIR}/changelog > ${changelog_gz}
    DEPENDS ${CMAKE_BINARY_DIR}/changelog)
add_custom_target(deb_changelog ALL DEPENDS ${changelog_gz})

foreach(pkg tarrow tarrow-sender)
    if(pkg STREQUAL tarrow)
        set(component server)
    else()
        set(component sender)
    endif()
    set(doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/${pkg})
    install(FILES README.md LICENSE ${changelog_gz} DESTINATION ${doc} COMPONENT ${component})
    install(FILES LICENSE DESTINATION ${doc} RENAME copyright COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarrow)
set(CPACK_PACKAGE_VENDOR "the tarrow developers")
set(CPACK_PACKAGE_CONTACT "tarrow developers <tarrow@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "operational alert board for Linux hosts")
# Install into /usr through DESTDIR, so that the units written at install time name
# /usr/sbin/tarrowd rather than the staging directory.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL server sender)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME tarrow)
# CPack takes the synopsis from CPACK_PACKAGE_DESCRIPTION_SUMMARY and these as the body.
set(CPACK_DEBIAN_SERVER_DESCRIPTION "The server tarrowd keeps the open alerts that hosts raise in a
table and logs every event; quiesk stops it. Operators list, acknowledge
and delete the alerts with the console tarrowc or in a browser with
tarrow-web, tarrow-bridge hands them to Prometheus Alertmanager, and
tarrow-history tells from the server's logs what happened to them. The
programs that raise alerts (flicket, sievel, sievel-act) are in
tarrow-sender.")
# A board on its own host still raises alerts about itself.
set(CPACK_DEBIAN_SERVER_PACKAGE_RECOMMENDS tarrow-sender)
# The maintainer scripts reload systemd and restart the running services on an upgrade; a
# first install starts nothing.
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/cmake/deb/postinst ${CMAKE_SOURCE_DIR}/cmake/deb/prerm
    ${CMAKE_SOURCE_DIR}/cmake/deb/postrm)
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_SENDER_PACKAGE_NAME tarrow-sender)
set(CPACK_DEBIAN_SENDER_DESCRIPTION "What a host needs to send alerts to a tarrow board: flicket raises
or clears one alert; sievel and sievel-act turn log lines into alerts,
with sample parameter files in /usr/share/doc/tarrow-sender/examples.
Nothing else is needed on a host that only sends; the board (tarrowd,
tarrowc, tarrow-web, tarrow-bridge, tarrow-history) is in tarrow.")
include(CPack)
