# The Debian package: `cpack --config build/CPackConfig.cmake -B build/package` after a build.
# Its dependencies come from the binaries themselves through dpkg-shlibdeps (dpkg-dev).
set(SHAREFETCH_MAINTAINER "ShareFetch developers <developers@sharefetch.invalid>"
  CACHE STRING "The Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME sharefetch)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "ShareFetch developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "resolve cloud-drive share links and download their files")
set(CPACK_PACKAGE_DESCRIPTION
  "ShareFetch turns the link of a public cloud-drive share into its files: it walks every\n"
  "folder, gets a direct download link for each file, asks for the extraction password and\n"
  "captcha answers when the service wants them, and downloads the files with its own download\n"
  "engine, with progress, a speed limit and resume across restarts.\n"
  "\n"
  "This package holds the window program sharefetch and the terminal program sharefetch-cli.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${SHAREFETCH_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window's texts are Chinese; without a CJK font they show as boxes.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS fonts-noto-cjk)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

include(CPack)
