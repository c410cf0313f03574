# The version every program, the plug-in and the packages show: project(VERSION),
# and, when built from a clone, where the commit stands against the release tag
# v<version>:
#   at the tag              1.0.0
#   5 commits after it      1.0.0+5.g0123456789ab
#   no release tag yet      1.0.0+g0123456789ab
#   uncommitted changes     ... with ".dirty" (or "+dirty") added
# Included by the build and by CPack; run as a script (cmake -P) at every build
# it rewrites the generated header when the version has changed, so a new
# commit reaches the binaries without a new configure.

function(qx_describe_version base source_dir out_var)
  set(version "${base}")
  find_program(QX_GIT_EXECUTABLE git)
  if(QX_GIT_EXECUTABLE AND EXISTS "${source_dir}/.git")
    execute_process(
      COMMAND "${QX_GIT_EXECUTABLE}" describe --tags --match "v[0-9]*" --long --always
              --abbrev=12 --dirty=.dirty
      WORKING_DIRECTORY "${source_dir}"
      OUTPUT_VARIABLE described
      RESULT_VARIABLE status
      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(status EQUAL 0)
      if(described MATCHES "^v(.+)-([0-9]+)-g([0-9a-f]+)(\\.dirty)?$")
        if(CMAKE_MATCH_2 EQUAL 0 AND CMAKE_MATCH_1 STREQUAL base)
          if(CMAKE_MATCH_4)
            set(version "${base}+dirty")
          endif()
        else()
          set(version "${base}+${CMAKE_MATCH_2}.g${CMAKE_MATCH_3}${CMAKE_MATCH_4}")
        endif()
      elseif(described MATCHES "^([0-9a-f]+)(\\.dirty)?$")
        set(version "${base}+g${CMAKE_MATCH_1}${CMAKE_MATCH_2}")
      endif()
    endif()
  endif()
  set(${out_var} "${version}" PARENT_SCOPE)
endfunction()

# Script mode: cmake -DQX_BASE_VERSION=... -DQX_SOURCE_DIR=... -DQX_VERSION_HEADER=... -P
if(CMAKE_SCRIPT_MODE_FILE AND DEFINED QX_VERSION_HEADER)
  qx_describe_version("${QX_BASE_VERSION}" "${QX_SOURCE_DIR}" version)
  string(CONCAT text "// Generated at build time from the project version and git: do not edit.\n"
                "#pragma once\n#define QX7540PM_VERSION \"${version}\"\n")
  set(old "")
  if(EXISTS "${QX_VERSION_HEADER}")
    file(READ "${QX_VERSION_HEADER}" old)
  endif()
  if(NOT old STREQUAL text)
    file(WRITE "${QX_VERSION_HEADER}" "${text}")
  endif()
endif()
