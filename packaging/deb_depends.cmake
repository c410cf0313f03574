# Run by CPack once the Debian package's files are staged: the package's
# Depends, from the libraries its programs and plug-in need, as
# dpkg-shlibdeps finds them. CPack's own CPACK_DEBIAN_PACKAGE_SHLIBDEPS does
# the same, but it also writes postinst and postrm scripts that run ldconfig
# for any library under /usr/lib, and lib/qx7540pm-bench is a private
# directory that ldconfig never reads (the programs find it by their run path).
find_program(QX_SHLIBDEPS dpkg-shlibdeps REQUIRED)
set(qx_root "${CPACK_TEMPORARY_DIRECTORY}")
set(qx_private "${qx_root}/usr/lib/qx7540pm-bench")
file(GLOB qx_elves "${qx_root}/usr/bin/*" "${qx_private}/*.so")
if(NOT qx_elves)
  message(FATAL_ERROR "no programs or libraries staged under ${qx_root}")
endif()
# dpkg-shlibdeps reads debian/control of the directory it runs in.
set(qx_work "${CPACK_TOPLEVEL_DIRECTORY}/shlibdeps")
file(MAKE_DIRECTORY "${qx_work}/debian")
file(WRITE "${qx_work}/debian/control" "")
execute_process(
  COMMAND "${QX_SHLIBDEPS}" --ignore-missing-info -l${qx_private} -O ${qx_elves}
  WORKING_DIRECTORY "${qx_work}"
  OUTPUT_VARIABLE qx_out
  ERROR_VARIABLE qx_err
  RESULT_VARIABLE qx_status
  OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT qx_status EQUAL 0 OR NOT qx_out MATCHES "^shlibs:Depends=(.+)$")
  message(FATAL_ERROR "dpkg-shlibdeps failed (${qx_status}): ${qx_err}")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${CMAKE_MATCH_1}")
message(STATUS "Depends: ${CPACK_DEBIAN_PACKAGE_DEPENDS}")
