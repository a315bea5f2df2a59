# The Debian package: `cpack --config build/CPackConfig.cmake -B build/package` after a build.
# Its dependencies come from the binaries themselves through dpkg-shlibdeps (dpkg-dev), run by
# cmake/DebianDepends.cmake rather than by CPack's own CPACK_DEBIAN_PACKAGE_SHLIBDEPS: that one
# also takes the engine in /usr/lib/sharefetch for a library of the system's search path and
# adds maintainer scripts calling ldconfig, which a private library loaded by its full path
# does not need.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME sharefetch)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "ShareFetch developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "resolve cloud-drive share links and download their files")
# Lines stay under 80 columns in the control file, where each gets one leading space.
set(CPACK_PACKAGE_DESCRIPTION
  "ShareFetch turns the link of a public cloud-drive share into its files: it\n"
  "walks every folder, gets a direct download link for each file, asks for the\n"
  "extraction password and captcha answers when the service wants them, and\n"
  "downloads the files with its own download engine, with progress, a speed\n"
  "limit and resume across restarts.\n"
  "\n"
  "This package holds the window program sharefetch, the terminal program\n"
  "sharefetch-cli and the service sharefetchd, which resolves shares for scripts\n"
  "and browsers over HTTP on a home server, with its systemd unit.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The install step then runs for the prefix /usr under a staging DESTDIR (without it, CPack
# gives the staging directory itself as the prefix), so what it writes from the prefix (the
# service's unit names its program by path) is the package's own path.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${SHAREFETCH_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
# The window's texts are Chinese; without a CJK font they show as boxes.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS fonts-noto-cjk)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

# What cmake/DebianDepends.cmake gives dpkg-shlibdeps: the binaries the package ships, as the
# build left them in build/bin.
set(CPACK_SF_SHIPPED_BINARIES
  ${CMAKE_BINARY_DIR}/bin/sharefetch-cli ${CMAKE_BINARY_DIR}/bin/sharefetchd
  ${CMAKE_BINARY_DIR}/bin/libsfengine.so)
if(SHAREFETCH_GUI)
  list(APPEND CPACK_SF_SHIPPED_BINARIES ${CMAKE_BINARY_DIR}/bin/sharefetch)
endif()
set(CPACK_SF_SHLIBDEPS_DIR ${CMAKE_BINARY_DIR}/shlibdeps)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/DebianDepends.cmake)

include(CPack)
