# Read by cpack when it makes a package: the version as the build it runs
# embeds it (cmake/version.cmake), in the package's name and control data.
include(${CPACK_QX_SOURCE_DIR}/cmake/version.cmake)
qx_describe_version("${CPACK_QX_BASE_VERSION}" "${CPACK_QX_SOURCE_DIR}" CPACK_PACKAGE_VERSION)
if(CPACK_QX_PACKAGE_SUFFIX)
  set(CPACK_PACKAGE_FILE_NAME
      "${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-${CPACK_QX_PACKAGE_SUFFIX}")
endif()
