// Stands in for the C library's <sys/single_threaded.h> when the plug-in is
// built. GCC 11 and later read the C library's __libc_single_threaded flag
// (GLIBC_2.32) in every reference count when the sysroot provides it, which
// would make a controller whose C library predates 2020 refuse the plug-in.
// The plug-in always runs in the controller's threaded process, so it takes
// the flag as false: reference counts stay atomic, as they are there anyway.
#pragma once

static const char qx_libc_single_threaded = 0;
#define __libc_single_threaded qx_libc_single_threaded
