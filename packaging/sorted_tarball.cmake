# Run by CPack after it made the bundle: the same members again, sorted by
# name, owned by root, with normalised modes and one time stamp (the
# commit's, from SOURCE_DATE_EPOCH), compressed without a name or time in the
# gzip header. CPack adds members in directory order, which differs between
# two build trees of one commit; this archive does not.
find_program(QX_TAR tar REQUIRED)
find_program(QX_GZIP gzip REQUIRED)
get_filename_component(qx_parent "${CPACK_TEMPORARY_DIRECTORY}" DIRECTORY)
get_filename_component(qx_top "${CPACK_TEMPORARY_DIRECTORY}" NAME)
set(qx_epoch "$ENV{SOURCE_DATE_EPOCH}")
if(qx_epoch STREQUAL "")
  execute_process(COMMAND git log -1 --format=%ct WORKING_DIRECTORY "${CPACK_QX_SOURCE_DIR}"
                  OUTPUT_VARIABLE qx_epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(qx_epoch STREQUAL "")
  set(qx_epoch 0)
endif()
foreach(qx_package IN LISTS CPACK_PACKAGE_FILES)
  execute_process(
    COMMAND "${QX_TAR}" --create --format=gnu --sort=name --owner=0 --group=0 --numeric-owner
            --mode=u+rw,go=rX --mtime=@${qx_epoch} --directory=${qx_parent} ${qx_top}
    COMMAND "${QX_GZIP}" -9 --no-name
    OUTPUT_FILE "${qx_package}"
    RESULT_VARIABLE qx_status)
  if(NOT qx_status EQUAL 0)
    message(FATAL_ERROR "could not repack ${qx_package}: ${qx_status}")
  endif()
endforeach()
