# `cpack -G DEB` in the build folder makes an installable Debian package of
# what the install rules name: the plug-in and its dialogs' module, kalhost,
# the stand-in service, the shared header and its pkg-config file, the manual
# pages and translations, and the copyright file and changelog every Debian
# package carries. Its
# library dependencies are read off the binaries by dpkg-shlibdeps (package
# dpkg-dev); `lintian` checks it (tools/check-install.sh).

# The changelog's newest entry must be this version: the package is native,
# and its changelog tells what changed in it.
file(STRINGS ${CMAKE_SOURCE_DIR}/cmake/debian/changelog changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^kaleidra-pixolune-plugin \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "cmake/debian/changelog has no entry for ${PROJECT_VERSION} at its top")
endif()
set(PIXOLUNE_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/kaleidra-pixolune-plugin)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/changelog.gz
                   COMMAND gzip -9 -n -c ${CMAKE_SOURCE_DIR}/cmake/debian/changelog
                           > ${CMAKE_BINARY_DIR}/changelog.gz
                   DEPENDS ${CMAKE_SOURCE_DIR}/cmake/debian/changelog)
add_custom_target(package_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/changelog.gz)
install(FILES ${CMAKE_SOURCE_DIR}/cmake/debian/copyright ${CMAKE_BINARY_DIR}/changelog.gz
        DESTINATION ${PIXOLUNE_DOC_DIR})
set(CPACK_PACKAGE_NAME "kaleidra-pixolune-plugin")
set(CPACK_PACKAGE_VENDOR "Torvane")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Pixolune plug-in for the Kaleidra slide-show host")
set(CPACK_PACKAGE_DESCRIPTION
    "Keeps a folder filled with the photos and videos of a Pixolune account for the
Kaleidra slide-show host. Contains the plug-in library and its dialogs'
module (loaded only when a dialog opens), kalhost (a small host that loads
and drives it), pixolune-stub (a local stand-in for the service) and the
message API header for host developers (pkg-config: kaleidra-plugin).")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Torvane plug-in team <plugins@torvane.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION "graphics")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libcurl is loaded when the first transfer needs it, not linked, so the
# binaries do not name it: the package that holds the libcurl built against
# is named here, at least at the version built against.
find_package(CURL REQUIRED)
get_target_property(pixolune_curl_library CURL::libcurl LOCATION)
file(REAL_PATH "${pixolune_curl_library}" pixolune_curl_library)
execute_process(COMMAND dpkg-query --search "${pixolune_curl_library}"
                OUTPUT_VARIABLE pixolune_curl_owner ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
string(REGEX MATCH "^[^:]+" pixolune_curl_package "${pixolune_curl_owner}")
if(pixolune_curl_package)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${pixolune_curl_package} (>= ${CURL_VERSION_STRING})")
else()
  message(WARNING "no Debian package holds ${pixolune_curl_library}: the package will not depend on libcurl")
endif()
# Qt's own texts in the user's language (the buttons of message boxes, the folder picker).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-translations-l10n")
set(CPACK_GENERATOR "DEB")
include(CPack)
