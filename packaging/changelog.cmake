# Install step of the Debian package: share/doc/<package>/changelog.gz, the
# changelog a native package carries, with one entry for the version being
# packed. The version is worked out again here (cmake/version.cmake), as cpack
# names the package, so the two always agree; the entry is dated at the
# commit (SOURCE_DATE_EPOCH when set) so that two packs of one commit agree.
# Set before including: QX_CHANGELOG_PACKAGE, QX_CHANGELOG_MAINTAINER,
# QX_BASE_VERSION, QX_SOURCE_DIR.
include(${QX_SOURCE_DIR}/cmake/version.cmake)
qx_describe_version("${QX_BASE_VERSION}" "${QX_SOURCE_DIR}" qx_version)

if("$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  execute_process(COMMAND git log -1 --format=%ct WORKING_DIRECTORY "${QX_SOURCE_DIR}"
                  OUTPUT_VARIABLE qx_epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(qx_epoch STREQUAL "")
    set(qx_epoch 0)
  endif()
  set(ENV{SOURCE_DATE_EPOCH} "${qx_epoch}")
endif()
# string(TIMESTAMP) reads SOURCE_DATE_EPOCH; RFC 5322 form, as dpkg wants it.
string(TIMESTAMP qx_date "%a, %d %b %Y %H:%M:%S +0000" UTC)

set(qx_dir "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/share/doc/${QX_CHANGELOG_PACKAGE}")
set(qx_text "${qx_dir}/changelog")
file(MAKE_DIRECTORY "${qx_dir}")
file(WRITE "${qx_text}"
     "${QX_CHANGELOG_PACKAGE} (${qx_version}) unstable; urgency=medium\n\n"
     "  * qx7540pm ${qx_version}.\n"
     "    The bench host, the simulated meter and the x86-64 plug-in, as\n"
     "    bench.md in this directory describes them.\n\n"
     " -- ${QX_CHANGELOG_MAINTAINER}  ${qx_date}\n")
# gzip -9n: the best compression, and no name or time stamp in the header.
execute_process(COMMAND gzip -9nf "${qx_text}" RESULT_VARIABLE qx_status)
if(NOT qx_status EQUAL 0)
  message(FATAL_ERROR "could not compress ${qx_text}: ${qx_status}")
endif()
message(STATUS "Installing: ${qx_text}.gz (${qx_version})")
list(APPEND CMAKE_INSTALL_MANIFEST_FILES
     "${CMAKE_INSTALL_PREFIX}/share/doc/${QX_CHANGELOG_PACKAGE}/changelog.gz")
