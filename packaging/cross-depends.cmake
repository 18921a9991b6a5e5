# CPack project file of a cross build (cmake/toolchain-*.cmake): sets the
# package's Depends from the shared libraries the target's tev and tevctl
# use. dpkg-shlibdeps reads the target's libraries from the cross sysroot,
# whose Debian packages name their target packages with an architecture
# qualifier ("libc6:arm64") or a "-<arch>-cross" suffix; on the target the
# packages carry their plain names, so both are taken off.
#
# Expects CPACK_TEV_SHLIBDEPS_ARGS (the -l library directory and the two
# programs) and CPACK_DEBIAN_PACKAGE_ARCHITECTURE; the libraries are put
# before the Depends already set (adduser). A static build has none to find
# and does not read this file.
if(NOT CPACK_GENERATOR STREQUAL "DEB" OR CPACK_TEV_SHLIBDEPS_DONE)
  return()
endif()
set(CPACK_TEV_SHLIBDEPS_DONE ON)
set(work "${CPACK_TOPLEVEL_DIRECTORY}/shlibdeps")
file(MAKE_DIRECTORY "${work}/debian")
file(TOUCH "${work}/debian/control")
execute_process(
  COMMAND dpkg-shlibdeps -O ${CPACK_TEV_SHLIBDEPS_ARGS}
  WORKING_DIRECTORY "${work}"
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT out MATCHES "shlibs:Depends=([^\n]*)")
  message(FATAL_ERROR "dpkg-shlibdeps failed for the cross build: ${err}")
endif()
set(depends "${CMAKE_MATCH_1}")
string(REPLACE ":${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}" "" depends "${depends}")
string(REPLACE "-${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}-cross" "" depends "${depends}")
if(CPACK_DEBIAN_PACKAGE_DEPENDS)
  string(APPEND depends ", ${CPACK_DEBIAN_PACKAGE_DEPENDS}")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${depends}")
