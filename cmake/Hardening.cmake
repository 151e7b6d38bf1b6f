# Debian's hardening flags, as dpkg-buildflags gives them (stack protector,
# _FORTIFY_SOURCE, format security, full RELRO with BIND_NOW; PIE is the
# compiler's default and CMAKE_POSITION_INDEPENDENT_CODE), for every target.
# The build type keeps choosing optimisation and debug information, and the
# file prefix map is left out (it names the build folder, which would keep
# clones in other folders from sharing the compiler cache). _FORTIFY_SOURCE
# needs optimisation: Debug builds go without it.
option(WW_HARDENING "Build with the hardening flags of dpkg-buildflags" ON)
# Set below when every flag applies, so that the package test may ask lintian for them.
set(WW_FULLY_HARDENED OFF)
if(NOT WW_HARDENING)
  return()
endif()
find_program(WW_DPKG_BUILDFLAGS dpkg-buildflags)
if(NOT WW_DPKG_BUILDFLAGS)
  message(STATUS "dpkg-buildflags not found: building without Debian's hardening flags")
  return()
endif()

function(ww_buildflags kind out)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all ${WW_DPKG_BUILDFLAGS} --get ${kind}
    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dpkg-buildflags --get ${kind} failed")
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags}")
  set(kept)
  foreach(flag IN LISTS flags)
    if(flag MATCHES "^-(g|O[0-9s]?)$" OR flag MATCHES "^-f(file|debug|macro)-prefix-map=")
      continue()
    endif()
    if(flag MATCHES "^-D_FORTIFY_SOURCE" AND CMAKE_BUILD_TYPE STREQUAL "Debug")
      continue()
    endif()
    list(APPEND kept ${flag})
  endforeach()
  set(${out} ${kept} PARENT_SCOPE)
endfunction()

ww_buildflags(CPPFLAGS ww_cppflags)
# (C and C++ get the same flags from it)
ww_buildflags(CXXFLAGS ww_cxxflags)
ww_buildflags(LDFLAGS ww_ldflags)
# dpkg-buildflags also chooses -fPIE/-pie where the compiler does not by
# default; the executables take them from CMake.
list(FILTER ww_cxxflags EXCLUDE REGEX "^-f(PIE|pie)$")
list(FILTER ww_ldflags EXCLUDE REGEX "^-(f?PIE|pie)$")
add_compile_options(${ww_cppflags} ${ww_cxxflags})
add_link_options(${ww_ldflags})
message(STATUS "Hardening flags: ${ww_cppflags} ${ww_cxxflags} | ${ww_ldflags}")
if(NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
  set(WW_FULLY_HARDENED ON)
endif()
