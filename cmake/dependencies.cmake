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

# Boost: header-only parts (Date_Time, Lexical_Cast).
find_path(QX_BOOST_INCLUDE_DIR boost/date_time/posix_time/ptime.hpp REQUIRED)
add_library(qx_boost_headers INTERFACE)
target_include_directories(qx_boost_headers SYSTEM INTERFACE ${QX_BOOST_INCLUDE_DIR})
add_library(qx::boost_headers ALIAS qx_boost_headers)
