# The field laptops' Debian package: the bench host, the simulated meter, the
# x86-64 plug-in and stand-in framework in the bench's private library
# directory, the examples and man pages made from --help.
install(TARGETS ${QX_TOOLS} RUNTIME DESTINATION bin)
install(TARGETS qx7540pm zelfw LIBRARY DESTINATION ${QX_PRIVATE_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/bench/examples/ DESTINATION share/qx7540pm-bench/examples)
install(FILES ${PROJECT_SOURCE_DIR}/docs/bench.md DESTINATION share/doc/qx7540pm-bench)

find_program(QX_HELP2MAN help2man)
if(QX_HELP2MAN)
  set(QX_MAN_NAME_qx7540pm-bench "poll a power meter through the qx7540pm plug-in")
  set(QX_MAN_NAME_qx7540pm-sim "simulated qx7540pm meter on a pseudo-terminal")
  set(QX_MAN_PAGES "")
  foreach(tool IN LISTS QX_TOOLS)
    set(page ${CMAKE_CURRENT_BINARY_DIR}/man/${tool}.1)
    # The bench's examples, exit status and files come from its help text
    # (bench/help_sections.txt), laid out for the page.
    set(include "")
    set(include_option "")
    set(commands "")
    if(tool STREQUAL qx7540pm-bench)
      set(include ${PROJECT_BINARY_DIR}/bench/qx7540pm-bench.h2m)
      # Each command's options, from its own --help: help2man reads only the
      # tool's.
      set(commands ${CMAKE_CURRENT_BINARY_DIR}/man/${tool}-commands.h2m)
      set(include_option --include=${include} --include=${commands})
    endif()
    add_custom_command(OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
      COMMAND "$<$<BOOL:${commands}>:${QX_PYTHON3};${CMAKE_CURRENT_SOURCE_DIR}/command_sections.py;$<TARGET_FILE:${tool}>;${commands};scan;decode;report;preflight>"
      # In English whatever the build's locale: the bench speaks the user's language.
      COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C LANGUAGE= ${QX_HELP2MAN} --no-info --name=${QX_MAN_NAME_${tool}}
              ${include_option} --output=${page}
              $<TARGET_FILE:${tool}>
      # "Needs: --x" and "Excludes: --x" on a line of their own, as in --help.
      COMMAND sed -i -E "s/^(Needs|Excludes): /.br\\n&/" ${page}
      COMMAND gzip -9nf ${page}
      DEPENDS ${tool} ${include} ${CMAKE_CURRENT_SOURCE_DIR}/command_sections.py
      COMMENT "Man page of ${tool}"
      VERBATIM COMMAND_EXPAND_LISTS)
    list(APPEND QX_MAN_PAGES ${page}.gz)
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${QX_MAN_PAGES})
  if(QX_BUILD_TESTS)
    # The bench's page as `man -l` shows it: its examples, exit status and files.
    add_test(NAME bench.manual_page
             COMMAND /usr/bin/python3 ${PROJECT_SOURCE_DIR}/tests/e2e/test_help_sections.py
                     --text ${PROJECT_SOURCE_DIR}/bench/help_sections.txt
                     --man ${CMAKE_CURRENT_BINARY_DIR}/man/qx7540pm-bench.1.gz
                     --bench $<TARGET_FILE:qx7540pm-bench>)
    set_tests_properties(bench.manual_page PROPERTIES LABELS e2e TIMEOUT 60)
  endif()
  install(FILES ${QX_MAN_PAGES} DESTINATION share/man/man1)
else()
  message(STATUS "help2man not found: no man pages (scripts/install-deps.sh installs it)")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qx7540pm-bench)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "bench host for the qx7540pm power meter plug-in")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "Loads the qx7540pm device plug-in as the monitoring controller does and polls a\n"
       "three-phase power meter over Modbus RTU or TCP, or a built-in simulated meter.\n"
       "qx7540pm-sim serves the simulated meter to any Modbus master.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)

# --- What Debian's checker (lintian) asks of a package ---
# The copyright file (DEP-5) and the changelog of a native package, in
# /usr/share/doc/qx7540pm-bench.
qx_copyright_file(${CMAKE_CURRENT_BINARY_DIR}/copyright usr/bin/ "")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/copyright DESTINATION share/doc/qx7540pm-bench)
install(CODE "
  set(QX_CHANGELOG_PACKAGE qx7540pm-bench)
  set(QX_CHANGELOG_MAINTAINER \"${QX_MAINTAINER}\")
  set(QX_BASE_VERSION ${PROJECT_VERSION})
  set(QX_SOURCE_DIR \"${PROJECT_SOURCE_DIR}\")
  include(\"${CMAKE_CURRENT_SOURCE_DIR}/changelog.cmake\")")
# Depends from the programs' libraries (libmodbus, jsoncpp, the C and C++
# libraries; the stand-in framework is the package's own), without the
# ldconfig calls CPack's own SHLIBDEPS would add (deb_depends.cmake).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/deb_depends.cmake)
# The plug-in keeps the controller's flags, each hardening tag on it
# overridden with the reason.
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/lintian-overrides DESTINATION share/lintian/overrides
        RENAME qx7540pm-bench)
# --- end of lintian's requirements ---
