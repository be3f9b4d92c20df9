# The Debian package: `cpack -G DEB` in a build configured with CMAKE_INSTALL_PREFIX=/usr
# (scripts/build-deb does both and checks the result with lintian).

# The documents Debian wants beside every package, and the manual page.
set(DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/wrenlow)
configure_file(${PROJECT_SOURCE_DIR}/data/changelog.in ${CMAKE_BINARY_DIR}/package/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/package/changelog.gz ${CMAKE_BINARY_DIR}/package/wrenlow.1.gz
    COMMAND gzip -9nkf ${CMAKE_BINARY_DIR}/package/changelog
    COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/data/wrenlow.1 > ${CMAKE_BINARY_DIR}/package/wrenlow.1.gz
    DEPENDS ${CMAKE_BINARY_DIR}/package/changelog ${PROJECT_SOURCE_DIR}/data/wrenlow.1)
add_custom_target(wrenlow-package-documents ALL
    DEPENDS ${CMAKE_BINARY_DIR}/package/changelog.gz ${CMAKE_BINARY_DIR}/package/wrenlow.1.gz)
install(FILES ${PROJECT_SOURCE_DIR}/data/copyright ${CMAKE_BINARY_DIR}/package/changelog.gz DESTINATION ${DOC_DIR})
install(FILES ${CMAKE_BINARY_DIR}/package/wrenlow.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME wrenlow)
set(CPACK_PACKAGE_VENDOR "The Wrenlow developers")
set(CPACK_PACKAGE_CONTACT "The Wrenlow developers <wrenlow@quorvel.net>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "proxy client for Shadowsocks, VMess and VLESS servers")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Wrenlow keeps the servers a provider gives you, typed in a form, pasted as
ss://, vmess:// or vless:// links, or refreshed from subscription addresses,
and sends some or all of your traffic through one of them: as an HTTP proxy,
as the desktop's proxy, or for every program through the transparent proxy.
It lives in the system tray, with a main window and a settings window.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://quorvel.net/wrenlow)
# Libraries as the binaries need them; what they load or start at run time by name on top: the SVG
# drawing plugin, the proxy engine and the GeoIP ranges.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6svg6, v2ray, tor-geoipdb")
# The desktop's proxy switch (GNOME's gsettings or KDE's kwriteconfig) and the transparent proxy
# (pkexec to ask for permission, ip for its routing).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libglib2.0-bin | libkf5config-bin, gsettings-desktop-schemas, pkexec, iproute2")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "qt6-wayland")
include(CPack)
