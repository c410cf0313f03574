# The tools as Debian builds its programs (dpkg-buildflags): stack
# protector, fortified C library calls, position-independent executables,
# and relocations read-only and bound at start. Everything the bench and the
# simulator are made of gets them, the stand-in framework they ship with too.
# The plug-in does not: it keeps the flags and the C library floor of the
# controller that loads it (docs/abi.md).
include(CheckPIESupported)
check_pie_supported()

function(qx_harden)
  foreach(target IN LISTS ARGN)
    if(NOT TARGET ${target})
      continue()
    endif()
    # Fortification needs the optimiser; a Debug build goes without it.
    target_compile_options(${target} PRIVATE -fstack-protector-strong
                           $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
    set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
    get_target_property(type ${target} TYPE)
    if(NOT type STREQUAL STATIC_LIBRARY)
      target_link_options(${target} PRIVATE LINKER:-z,relro LINKER:-z,now)
    endif()
  endforeach()
endfunction()
