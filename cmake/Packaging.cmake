# `cpack -G DEB` in the build folder makes an installable Debian package of
# what the install rules name: the plug-in, kalhost, the stand-in service, the
# shared header and its pkg-config file. Its library dependencies are read off
# the binaries by dpkg-shlibdeps (package dpkg-dev).
set(CPACK_PACKAGE_NAME "kaleidra-pixolune-plugin")
set(CPACK_PACKAGE_VENDOR "Torvane")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Pixolune plug-in for the Kaleidra slide-show host")
set(CPACK_PACKAGE_DESCRIPTION
    "Keeps a folder filled with the photos and videos of a Pixolune account for the
Kaleidra slide-show host. Contains the plug-in library, kalhost (a small host
that loads and drives it), pixolune-stub (a local stand-in for the service) and
the message API header for host developers (pkg-config: kaleidra-plugin).")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Torvane plug-in team <plugins@torvane.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION "graphics")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_GENERATOR "DEB")
include(CPack)
