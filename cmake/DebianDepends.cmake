# Read by cpack before it builds a package (CPACK_PROJECT_CONFIG_FILE): sets the Depends field
# of the Debian package from what the shipped binaries link, through dpkg-shlibdeps.
# cmake/Packaging.cmake says why this is not CPack's own CPACK_DEBIAN_PACKAGE_SHLIBDEPS.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

find_program(SF_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(NOT SF_DPKG_SHLIBDEPS)
  message(FATAL_ERROR "dpkg-shlibdeps is missing; tools/deps.sh installs it (package dpkg-dev)")
endif()

set(args)
foreach(binary IN LISTS CPACK_SF_SHIPPED_BINARIES)
  if(NOT EXISTS "${binary}")
    message(FATAL_ERROR "${binary} is missing: build the project before packaging it")
  endif()
  list(APPEND args "-e${binary}")
endforeach()

# dpkg-shlibdeps wants to run at the top of a Debian source tree; an empty debian/control is
# enough for it.
file(REMOVE_RECURSE "${CPACK_SF_SHLIBDEPS_DIR}")
file(MAKE_DIRECTORY "${CPACK_SF_SHLIBDEPS_DIR}/debian")
file(TOUCH "${CPACK_SF_SHLIBDEPS_DIR}/debian/control")
execute_process(COMMAND "${SF_DPKG_SHLIBDEPS}" -O ${args}
  WORKING_DIRECTORY "${CPACK_SF_SHLIBDEPS_DIR}"
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT out MATCHES "shlibs:Depends=([^\n]+)")
  message(FATAL_ERROR "dpkg-shlibdeps failed (${status}):\n${err}${out}")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${CMAKE_MATCH_1}")
