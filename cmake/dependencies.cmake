# Third-party dependencies, found the same way for the host and the board.
find_package(Threads REQUIRED)

find_path(QX_JSONCPP_INCLUDE_DIR json/value.h PATH_SUFFIXES jsoncpp REQUIRED)
find_library(QX_JSONCPP_LIBRARY NAMES jsoncpp REQUIRED)
add_library(qx_jsoncpp_headers INTERFACE)
target_include_directories(qx_jsoncpp_headers SYSTEM INTERFACE ${QX_JSONCPP_INCLUDE_DIR})
add_library(qx::jsoncpp_headers ALIAS qx_jsoncpp_headers)
add_library(qx_jsoncpp INTERFACE)
target_link_libraries(qx_jsoncpp INTERFACE qx_jsoncpp_headers ${QX_JSONCPP_LIBRARY})
add_library(qx::jsoncpp ALIAS qx_jsoncpp)
# The soname of the jsoncpp found (libjsoncpp.so.25): the plug-in names it in
# its note, and a controller must carry a library of that name.
set(QX_JSONCPP_SONAME "")
if(CMAKE_READELF)
  execute_process(COMMAND ${CMAKE_READELF} -d ${QX_JSONCPP_LIBRARY} OUTPUT_VARIABLE _qx_dynamic
                  ERROR_QUIET)
  string(REGEX MATCH "soname: \\[([^]]+)\\]" _qx_match "${_qx_dynamic}")
  set(QX_JSONCPP_SONAME "${CMAKE_MATCH_1}")
endif()
if(NOT QX_JSONCPP_SONAME)
  message(FATAL_ERROR "jsoncpp: no soname in ${QX_JSONCPP_LIBRARY}")
endif()
message(STATUS "jsoncpp: ${QX_JSONCPP_LIBRARY} (${QX_JSONCPP_SONAME})")

# Boost: header-only parts (Date_Time, Lexical_Cast).
find_path(QX_BOOST_INCLUDE_DIR boost/date_time/posix_time/ptime.hpp REQUIRED)
add_library(qx_boost_headers INTERFACE)
# A directory given outside a cross build's sysroot (/usr/include, say) is
# searched after the system's own: CMake would drop it from the include path
# as one of the compiler's implicit directories, although the compiler looks
# in the sysroot's.
set(_qx_boost_outside_sysroot OFF)
if(CMAKE_SYSROOT)
  file(RELATIVE_PATH _qx_boost_rel "${CMAKE_SYSROOT}" "${QX_BOOST_INCLUDE_DIR}")
  if(_qx_boost_rel MATCHES "^\\.\\.")
    set(_qx_boost_outside_sysroot ON)
  endif()
endif()
if(_qx_boost_outside_sysroot)
  target_compile_options(qx_boost_headers INTERFACE "-idirafter${QX_BOOST_INCLUDE_DIR}")
else()
  target_include_directories(qx_boost_headers SYSTEM INTERFACE ${QX_BOOST_INCLUDE_DIR})
endif()
add_library(qx::boost_headers ALIAS qx_boost_headers)
