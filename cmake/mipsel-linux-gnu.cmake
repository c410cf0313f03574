# Cross build for the controller board: 32-bit little-endian MIPS Linux.
# Tests run under qemu-user through CTest's cross-compiling emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)

set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

# Board libraries unpacked by scripts/install-deps.sh, then the cross sysroot.
get_filename_component(_qx_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
if(DEFINED ENV{QX_MIPSEL_SYSROOT})
  set(QX_MIPSEL_SYSROOT "$ENV{QX_MIPSEL_SYSROOT}")
else()
  set(QX_MIPSEL_SYSROOT "${_qx_root}/.deps/mipsel")
endif()
set(CMAKE_FIND_ROOT_PATH "${QX_MIPSEL_SYSROOT}" /usr/mipsel-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR
    "qemu-mipsel;-L;/usr/mipsel-linux-gnu;-E;LD_LIBRARY_PATH=${QX_MIPSEL_SYSROOT}/usr/lib/mipsel-linux-gnu")

# pkg-config (libmodbus) reads the board's .pc files and answers with paths
# into the sysroot.
set(ENV{PKG_CONFIG_LIBDIR}
    "${QX_MIPSEL_SYSROOT}/usr/lib/mipsel-linux-gnu/pkgconfig:${QX_MIPSEL_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${QX_MIPSEL_SYSROOT}")
