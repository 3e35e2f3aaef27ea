# The Debian package, built by CPack from the install() rules of the whole tree (so whatever a
# folder installs is in the package without a list here). scripts/package runs it over the
# default build.

# Debian's documentation of a native package: copyright and the compressed changelog.
set(ORVANE_PACKAGE_DOCS "share/doc/orvane-agent")
install(FILES "${PROJECT_SOURCE_DIR}/packaging/copyright" DESTINATION "${ORVANE_PACKAGE_DOCS}")
install(CODE "
  execute_process(COMMAND gzip -9nc \"${PROJECT_SOURCE_DIR}/packaging/changelog\"
                  OUTPUT_FILE \"${CMAKE_BINARY_DIR}/packaging/changelog.gz\")
")
file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/packaging")
install(FILES "${CMAKE_BINARY_DIR}/packaging/changelog.gz" DESTINATION "${ORVANE_PACKAGE_DOCS}")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvane-agent)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR Orvane)
set(CPACK_PACKAGE_CONTACT "Orvane <support@orvane.ai>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "family web-safety agent for a child's computer")
# Installed with the prefix /usr and DESTDIR, so that paths computed at install time (the desktop
# entry's Exec) are the installed ones.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_THREADS 2)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://orvane.ai")
# The extended description only: CPack puts the summary above it as the synopsis, indents each
# line and turns an empty line into the paragraph mark.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Pairs this computer with a child's account of the Orvane family web-safety
service, keeps the device credentials in the Secret Service keychain and
checks in with the service: a heartbeat every minute, the parent's policy
every half minute, and the day's application usage every two minutes.

The tray program shows the protection status in the panel's tray, or in a
small window where the desktop has none; a background helper, started at
login, keeps the computer checking in.")
# The shared libraries the programs link, found by dpkg-shlibdeps; then what they load at run
# time: Qt's platform plugins (X11 here; Wayland recommended), a session bus, a Secret Service.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "qt6-wayland, default-dbus-session-bus | dbus-session-bus, gnome-keyring | libkf5wallet-bin")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "gnome-shell-extension-appindicator")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
