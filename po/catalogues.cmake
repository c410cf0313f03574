# cmake -P: the message template from the sources, then either
#   QX_MODE=update  the committed template replaced and merged into every catalogue, or
#   QX_MODE=check   fails unless the committed template and every catalogue
#                   hold every message of the sources, each catalogue all
#                   translated (no fuzzy or untranslated entry, formats checked).
# The folders whose messages are the host tools': the bench, the simulated
# meter, the host library (before and after its move to host/), the ELF reader
# (preflight's reasons), the tools' core library and i18n itself.
set(folders bench sim host standin/host standin/modbus elf core i18n)
set(sources "")
foreach(folder IN LISTS folders)
  file(GLOB_RECURSE found RELATIVE ${QX_SOURCE_DIR} ${QX_SOURCE_DIR}/${folder}/*.cpp
       ${QX_SOURCE_DIR}/${folder}/*.h)
  list(APPEND sources ${found})
endforeach()
list(SORT sources)

file(MAKE_DIRECTORY ${QX_WORK_DIR})
set(pot ${QX_WORK_DIR}/${QX_TEXT_DOMAIN}.pot)
# Only our own markers: --keyword alone drops xgettext's defaults (gettext, dgettext, ...).
execute_process(
  COMMAND ${QX_XGETTEXT} --language=C++ --from-code=UTF-8 --keyword --keyword=_ --keyword=N_
          --keyword=C_:1c,2 --keyword=NC_:1c,2 --keyword=P_:1,2 --add-comments=TRANSLATORS: --add-location=file
          --package-name=qx7540pm-bench --package-version=${QX_PROJECT_VERSION}
          --copyright-holder=qx7540pm\ developers --msgid-bugs-address=qx7540pm@example.com
          --output=${pot} ${sources}
  WORKING_DIRECTORY ${QX_SOURCE_DIR}
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "xgettext failed")
endif()
# The end of --help is made from bench/help_sections.txt, not marked in a source.
set(help_pot ${QX_WORK_DIR}/help_sections.pot)
execute_process(
  COMMAND ${QX_PYTHON3} ${QX_SOURCE_DIR}/bench/help_sections.py
          ${QX_SOURCE_DIR}/bench/help_sections.txt --pot ${help_pot}
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "bench/help_sections.py failed")
endif()
execute_process(
  COMMAND ${QX_MSGCAT} --use-first --add-location=file --output=${pot}.all ${pot} ${help_pot}
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "msgcat failed")
endif()
file(RENAME ${pot}.all ${pot})

set(committed ${QX_PO_DIR}/${QX_TEXT_DOMAIN}.pot)
if(QX_MODE STREQUAL "update")
  file(COPY_FILE ${pot} ${committed})
  foreach(language IN LISTS QX_CATALOGUES)
    # --previous keeps a changed message's old text beside it for the translator.
    execute_process(COMMAND ${QX_MSGMERGE} --quiet --update --backup=none --previous
                            --add-location=file ${QX_PO_DIR}/${language}.po ${committed}
                    RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "msgmerge ${language}.po failed")
    endif()
  endforeach()
  message(STATUS "${committed} and the catalogues ${QX_CATALOGUES} updated")
  return()
endif()

set(problems "")
# The committed template lacks no message of the sources.
execute_process(COMMAND ${QX_MSGCMP} --use-untranslated ${committed} ${pot}
                RESULT_VARIABLE failed ERROR_VARIABLE said)
if(failed)
  string(APPEND problems "${said}the template is out of date: build the target update-po\n")
endif()
foreach(language IN LISTS QX_CATALOGUES)
  set(po ${QX_PO_DIR}/${language}.po)
  # Every message of the sources translated, none fuzzy.
  execute_process(COMMAND ${QX_MSGCMP} ${po} ${pot} RESULT_VARIABLE failed ERROR_VARIABLE said)
  if(failed)
    string(APPEND problems "${said}${language}.po lacks translations of the sources' messages\n")
  endif()
  # And none of its own entries untranslated or fuzzy (obsolete ones are not counted).
  execute_process(COMMAND ${QX_MSGFMT} --check --statistics -o /dev/null ${po}
                  RESULT_VARIABLE failed ERROR_VARIABLE said)
  message(STATUS "${language}.po: ${said}")
  if(failed OR said MATCHES "fuzzy|untranslated")
    string(APPEND problems "${language}.po: ${said}")
  endif()
endforeach()
if(problems)
  message(FATAL_ERROR "${problems}")
endif()
