# The board bundle: what an integrator puts on the controller, what a field
# engineer runs there, and what reads a crash back here.
#   qx7540pm.so, qx7540pm.so.debug   the plug-in, stripped, and its debug file
#   INSTALL, LICENSE, copyright, SHA256SUMS, abi/, examples/
#   bin/qx7540pm-bench, bin/qx7540pm-sim, lib/qx7540pm-bench/
set(QX_STAGE ${CMAKE_CURRENT_BINARY_DIR}/bundle)
set(QX_STRIPPED ${QX_STAGE}/qx7540pm.so)
set(QX_DEBUG ${QX_STAGE}/qx7540pm.so.debug)
# The debug file keeps the build-id note, so gdb matches the two by it, or by
# the debug link that names the file beside the plug-in.
add_custom_command(OUTPUT ${QX_STRIPPED} ${QX_DEBUG}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${QX_STAGE}
  COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:qx7540pm> ${QX_DEBUG}
  COMMAND ${CMAKE_STRIP} --strip-unneeded -o ${QX_STRIPPED} $<TARGET_FILE:qx7540pm>
  COMMAND ${CMAKE_OBJCOPY} --add-gnu-debuglink=${QX_DEBUG} ${QX_STRIPPED}
  DEPENDS qx7540pm
  COMMENT "Stripped plug-in and its debug file"
  VERBATIM)
add_custom_target(qx7540pm_stripped ALL DEPENDS ${QX_STRIPPED} ${QX_DEBUG})

set(QX_LIBMODBUS_VERSION ${LIBMODBUS_VERSION})
install(FILES ${QX_STRIPPED} ${QX_DEBUG} ${QX_STAGE}/INSTALL DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/abi/qx7540pm.mipsel.abi DESTINATION abi)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/bench/examples/ DESTINATION examples)

install(TARGETS ${QX_TOOLS} RUNTIME DESTINATION bin)
install(TARGETS zelfw LIBRARY DESTINATION ${QX_PRIVATE_LIBDIR})
# libmodbus is no library of the controller's: the bench brings its own.
get_target_property(QX_LIBMODBUS_LINKED PkgConfig::LIBMODBUS INTERFACE_LINK_LIBRARIES)
list(FILTER QX_LIBMODBUS_LINKED INCLUDE REGEX "libmodbus\\.so$")
get_filename_component(QX_LIBMODBUS_FILE "${QX_LIBMODBUS_LINKED}" REALPATH)
install(FILES ${QX_LIBMODBUS_FILE} DESTINATION ${QX_PRIVATE_LIBDIR} RENAME libmodbus.so.5)
find_file(QX_LIBMODBUS_COPYRIGHT copyright PATHS /usr/share/doc/libmodbus5 NO_DEFAULT_PATH)
if(QX_LIBMODBUS_COPYRIGHT)
  install(FILES ${QX_LIBMODBUS_COPYRIGHT} DESTINATION share/doc/libmodbus5)
endif()

# --- libelf (the bench's preflight and build-id reader) with its zlib, and
# libunistring (the tools' text width and line breaking): the board's copies
# from its sysroot, beside libmodbus, with their copyrights.
foreach(qx_lib elf z unistring)
  set(qx_so 1)
  if(qx_lib STREQUAL "unistring")
    set(qx_so 2)
  endif()
  find_library(QX_BUNDLED_${qx_lib} NAMES lib${qx_lib}.so.${qx_so} REQUIRED)
  get_filename_component(qx_file "${QX_BUNDLED_${qx_lib}}" REALPATH)
  install(FILES ${qx_file} DESTINATION ${QX_PRIVATE_LIBDIR} RENAME lib${qx_lib}.so.${qx_so})
  # The version, for INSTALL, from the file's name (libelf-0.188.so, libz.so.1.2.13).
  get_filename_component(qx_name "${qx_file}" NAME)
  string(REGEX REPLACE "^lib${qx_lib}(-|\\.so\\.)([0-9.]*[0-9])(\\.so)?$" "\\2"
         QX_BUNDLED_${qx_lib}_VERSION "${qx_name}")
endforeach()
configure_file(INSTALL.in ${QX_STAGE}/INSTALL @ONLY)
foreach(qx_package libelf1 zlib1g libunistring2)
  find_file(QX_COPYRIGHT_${qx_package} copyright PATHS /usr/share/doc/${qx_package} NO_DEFAULT_PATH)
  if(QX_COPYRIGHT_${qx_package})
    install(FILES ${QX_COPYRIGHT_${qx_package}} DESTINATION share/doc/${qx_package})
  endif()
endforeach()
# libelf finds its zlib there too: a DT_RPATH, unlike a DT_RUNPATH, serves the
# libraries the bench loads as well as the bench.
target_link_options(qx7540pm-bench PRIVATE -Wl,--disable-new-dtags)
# --- end of libelf and libunistring

# --- Licence: LICENSE, and the copyright file (DEP-5) of everything carried ---
string(CONCAT QX_BUNDLE_COPYRIGHT_EXTRA
       "\nFiles: ${QX_PRIVATE_LIBDIR}/libmodbus.so.5\n"
       "Copyright: see share/doc/libmodbus5/copyright\n"
       "License: LGPL-2.1+\n"
       "Comment: libmodbus ${LIBMODBUS_VERSION}, the bench's own copy (the controller carries\n"
       " none), as Debian packs it, with Debian's copyright file beside it.\n"
       "\nLicense: LGPL-2.1+\n"
       " The GNU Lesser General Public License, version 2.1 or any later version:\n"
       " share/doc/libmodbus5/copyright names the copyright holders and the terms.\n"
       "\nFiles: ${QX_PRIVATE_LIBDIR}/libelf.so.1\n"
       "Copyright: see share/doc/libelf1/copyright\n"
       "License: LGPL-3+ or GPL-2+\n"
       "Comment: elfutils' libelf, the bench's ELF reader (preflight, build-ids), as Debian packs\n"
       " it, with Debian's copyright file beside it.\n"
       "\nFiles: ${QX_PRIVATE_LIBDIR}/libz.so.1\n"
       "Copyright: see share/doc/zlib1g/copyright\n"
       "License: Zlib\n"
       "Comment: zlib, which libelf needs, as Debian packs it, with Debian's copyright file beside it.\n"
       "\nFiles: ${QX_PRIVATE_LIBDIR}/libunistring.so.2\n"
       "Copyright: see share/doc/libunistring2/copyright\n"
       "License: LGPL-3+ or GPL-2+\n"
       "Comment: GNU libunistring, the tools' text width and line breaking, as Debian packs it,\n"
       " with Debian's copyright file beside it.\n"
       "\nLicense: LGPL-3+ or GPL-2+\n"
       " The GNU Lesser General Public License, version 3 or later, or the GNU General Public\n"
       " License, version 2 or later: share/doc/libelf1/copyright names the holders and terms.\n"
       "\nLicense: Zlib\n"
       " The zlib licence: share/doc/zlib1g/copyright gives its text.\n")
qx_copyright_file(${QX_STAGE}/copyright bin/ "${QX_BUNDLE_COPYRIGHT_EXTRA}")
install(FILES ${QX_LICENSE_FILE} ${QX_STAGE}/copyright DESTINATION .)
# --- end of licence ---

# Last: the sums of everything installed above.
install(SCRIPT sums.cmake)

set(CPACK_GENERATOR TGZ)
set(CPACK_PACKAGE_NAME qx7540pm)
set(CPACK_QX_PACKAGE_SUFFIX mipsel)
set(CPACK_PACKAGE_FILE_NAME qx7540pm-${QX_VERSION}-mipsel)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/sorted_tarball.cmake)
