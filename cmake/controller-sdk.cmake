# Building the plug-in with the controller vendor's SDK: its compiler, its
# sysroot (the controller's C and C++ libraries and jsoncpp) and its flags, so
# that the plug-in matches the controller's own build. Give, as cache entries
# (-D) or in the environment:
#   QX_SDK_PREFIX   the compiler prefix: gcc and g++ are appended
#                   (/opt/sdk/bin/mipsel-linux-gnu- or mipsel-openwrt-linux-)
#   QX_SDK_SYSROOT  the SDK's sysroot: usr/include/json, its libjsoncpp.so,
#                   libstdc++.so.6 and libc
#   QX_SDK_FLAGS    optional compiler flags: ISA level (-march=mips32), float
#                   ABI (-msoft-float, -mfp32), -D_GLIBCXX_USE_CXX11_ABI=0 ...
# The sysroot's C++ headers (usr/include/c++/N) are used when it has them.
# An SDK that brings its own CMake toolchain file is used as it is instead:
# cmake --preset sdk -DCMAKE_TOOLCHAIN_FILE=<its file> (README, "Building
# with the controller's SDK").
foreach(var QX_SDK_PREFIX QX_SDK_SYSROOT QX_SDK_FLAGS)
  if(NOT DEFINED ${var} AND DEFINED ENV{${var}})
    set(${var} "$ENV{${var}}")
  endif()
endforeach()
if(NOT QX_SDK_PREFIX OR NOT QX_SDK_SYSROOT)
  message(FATAL_ERROR "controller SDK: set QX_SDK_PREFIX (compiler prefix) and QX_SDK_SYSROOT")
endif()
# Try-compiles run this file again: hand them the same values.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QX_SDK_PREFIX QX_SDK_SYSROOT QX_SDK_FLAGS)

set(CMAKE_C_COMPILER ${QX_SDK_PREFIX}gcc)
set(CMAKE_CXX_COMPILER ${QX_SDK_PREFIX}g++)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpmachine OUTPUT_VARIABLE _qx_triplet
                OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _qx_status)
if(NOT _qx_status EQUAL 0)
  message(FATAL_ERROR "controller SDK: cannot run ${CMAKE_CXX_COMPILER}")
endif()
string(REGEX REPLACE "-.*" "" _qx_processor "${_qx_triplet}")
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${_qx_processor})
set(CMAKE_LIBRARY_ARCHITECTURE ${_qx_triplet})

set(CMAKE_SYSROOT ${QX_SDK_SYSROOT})
set(CMAKE_FIND_ROOT_PATH ${QX_SDK_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The sysroot's C++ headers, when it has them, go with its C++ library: a
# compiler newer than the sysroot would otherwise compile against its own
# headers and need symbols the controller's library lacks.
set(_qx_cxx_headers "")
if(NOT QX_SDK_FLAGS MATCHES "-nostdinc\\+\\+")
  file(GLOB _qx_cxx_versions LIST_DIRECTORIES true "${QX_SDK_SYSROOT}/usr/include/c++/*")
  list(FILTER _qx_cxx_versions INCLUDE REGEX "/[0-9][0-9.]*$")
  if(_qx_cxx_versions)
    list(SORT _qx_cxx_versions COMPARE NATURAL)
    list(GET _qx_cxx_versions -1 _qx_cxx_dir)
    get_filename_component(_qx_cxx_version "${_qx_cxx_dir}" NAME)
    set(_qx_cxx_headers "-nostdinc++ -isystem ${_qx_cxx_dir}")
    set(_qx_cxx_target_dir "${QX_SDK_SYSROOT}/usr/include/${_qx_triplet}/c++/${_qx_cxx_version}")
    if(IS_DIRECTORY "${_qx_cxx_target_dir}")
      string(APPEND _qx_cxx_headers " -isystem ${_qx_cxx_target_dir}")
    endif()
    string(APPEND _qx_cxx_headers " -isystem ${_qx_cxx_dir}/backward")
  endif()
endif()
set(CMAKE_CXX_FLAGS_INIT "${_qx_cxx_headers} ${QX_SDK_FLAGS}")
set(CMAKE_C_FLAGS_INIT "${QX_SDK_FLAGS}")
# The sysroot's libraries before the compiler's own: the plug-in's symbol
# versions are those of the controller's C++ library.
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT
      "-L${QX_SDK_SYSROOT}/usr/lib/${_qx_triplet} -L${QX_SDK_SYSROOT}/lib/${_qx_triplet} -Wl,-rpath-link,${QX_SDK_SYSROOT}/usr/lib/${_qx_triplet}:${QX_SDK_SYSROOT}/lib/${_qx_triplet}")
endforeach()
