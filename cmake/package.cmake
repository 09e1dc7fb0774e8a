# Documents every install carries, and the Debian package (`make package`, CPack).

# The Debian changelog of the package, compressed as Debian wants it.
set(changelog_gz ${CMAKE_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${changelog_gz}
    COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/cmake/changelog > ${changelog_gz}
    DEPENDS ${CMAKE_SOURCE_DIR}/cmake/changelog)
add_custom_target(changelog ALL DEPENDS ${changelog_gz})

install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
install(FILES ${changelog_gz} DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarrow)
set(CPACK_PACKAGE_VENDOR "the tarrow developers")
set(CPACK_PACKAGE_CONTACT "tarrow developers <tarrow@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "operational alert board for Linux hosts")
set(CPACK_PACKAGE_DESCRIPTION "Hosts and scripts raise alerts with flicket; the server tarrowd keeps
the open ones in a table and logs every event; operators list, acknowledge
and delete them with the console tarrowc. sievel and sievel-act turn log
lines into alerts.")
# Install into /usr through DESTDIR, so that the unit written at install time names
# /usr/sbin/tarrowd rather than the staging directory.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
