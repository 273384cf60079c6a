# SPDX-License-Identifier: MIT
# Hardening of release builds (Release, RelWithDebInfo, MinSizeRel), on by
# default (CORDIX_HARDENING): the flags Debian builds its own packages with,
#   -D_FORTIFY_SOURCE=2 -fstack-protector-strong -Wformat
#   -Werror=format-security, position-independent executables and
#   -Wl,-z,relro -Wl,-z,now.
# They come from dpkg-buildflags (DEB_BUILD_MAINT_OPTIONS=hardening=+all,
# for the target's Debian architecture in a cross build); without it, the
# same list. Optimisation and debug information stay the build type's:
# -O and -g of dpkg-buildflags are dropped, and so is -ffile-prefix-map.
# Sanitizer and fuzz builds keep everything but _FORTIFY_SOURCE, whose
# checked string functions the sanitizers' interceptors would not see.

option(CORDIX_HARDENING "Harden release builds with Debian's flags" ON)

set(_cordix_release_types Release RelWithDebInfo MinSizeRel)
if(NOT CORDIX_HARDENING OR NOT CMAKE_BUILD_TYPE IN_LIST _cordix_release_types)
  return()
endif()

set(_cordix_flags_CXXFLAGS -fstack-protector-strong -Wformat -Werror=format-security)
set(_cordix_flags_CFLAGS ${_cordix_flags_CXXFLAGS})
set(_cordix_flags_CPPFLAGS -D_FORTIFY_SOURCE=2)
set(_cordix_flags_LDFLAGS -Wl,-z,relro -Wl,-z,now)
set(_cordix_flags_source "built-in list")

find_program(CORDIX_DPKG_BUILDFLAGS dpkg-buildflags)
if(CORDIX_DPKG_BUILDFLAGS)
  set(_cordix_env DEB_BUILD_MAINT_OPTIONS=hardening=+all)
  if(CMAKE_CROSSCOMPILING AND CMAKE_LIBRARY_ARCHITECTURE)
    execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
                    OUTPUT_VARIABLE _cordix_arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(_cordix_arch)
      list(APPEND _cordix_env DEB_HOST_ARCH=${_cordix_arch})
    endif()
  endif()
  set(_cordix_ok TRUE)
  foreach(var CFLAGS CXXFLAGS CPPFLAGS LDFLAGS)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env ${_cordix_env}
                            ${CORDIX_DPKG_BUILDFLAGS} --get ${var}
                    OUTPUT_VARIABLE _cordix_out OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE _cordix_rc ERROR_QUIET)
    if(NOT _cordix_rc EQUAL 0)
      set(_cordix_ok FALSE)
      break()
    endif()
    separate_arguments(_cordix_out UNIX_COMMAND "${_cordix_out}")
    list(FILTER _cordix_out EXCLUDE REGEX "^-(O.*|g.*|ffile-prefix-map=.*)$")
    set(_cordix_got_${var} ${_cordix_out})
  endforeach()
  if(_cordix_ok)
    foreach(var CFLAGS CXXFLAGS CPPFLAGS LDFLAGS)
      set(_cordix_flags_${var} ${_cordix_got_${var}})
    endforeach()
    list(JOIN _cordix_env " " _cordix_flags_source)
    string(PREPEND _cordix_flags_source "dpkg-buildflags ")
  endif()
endif()

if(CORDIX_SANITIZE OR CORDIX_FUZZ)
  list(FILTER _cordix_flags_CPPFLAGS EXCLUDE REGEX "^-D_FORTIFY_SOURCE")
endif()

add_compile_options(
  "$<$<COMPILE_LANGUAGE:C>:${_cordix_flags_CFLAGS}>"
  "$<$<COMPILE_LANGUAGE:CXX>:${_cordix_flags_CXXFLAGS}>"
  ${_cordix_flags_CPPFLAGS} -fPIE)
add_link_options(${_cordix_flags_LDFLAGS})
string(APPEND CMAKE_EXE_LINKER_FLAGS " -pie")
list(JOIN _cordix_flags_CXXFLAGS " " _cordix_show)
list(JOIN _cordix_flags_CPPFLAGS " " _cordix_cpp)
list(JOIN _cordix_flags_LDFLAGS " " _cordix_ld)
message(STATUS "Hardening (${_cordix_flags_source}): ${_cordix_show} ${_cordix_cpp} -fPIE -pie ${_cordix_ld}")
