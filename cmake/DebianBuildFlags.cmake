# The target's Debian architecture (amd64, arm64, armhf), for the .deb and for
# dpkg-buildflags, from the compiler's multiarch triplet.
if(NOT WIN32 AND CMAKE_LIBRARY_ARCHITECTURE)
  find_program(KAVNORI_DPKG_ARCHITECTURE dpkg-architecture)
  if(KAVNORI_DPKG_ARCHITECTURE)
    # A warning that the host compiler is not for that triplet goes to stderr.
    execute_process(COMMAND ${KAVNORI_DPKG_ARCHITECTURE} -t ${CMAKE_LIBRARY_ARCHITECTURE}
                            -qDEB_HOST_ARCH
                    OUTPUT_VARIABLE KAVNORI_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
endif()

# Packages are built as Debian builds its own: fortified functions, stack
# protector, read-only relocations bound at start (relro, bindnow), and
# position-independent programs, which Debian's compilers make by default.
option(KAVNORI_DEBIAN_BUILDFLAGS "Compile and link with dpkg-buildflags' hardening flags" OFF)
if(KAVNORI_DEBIAN_BUILDFLAGS AND KAVNORI_DEB_ARCH)
  foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
    # Run in the source folder: its path in debug information becomes ".".
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
              DEB_HOST_ARCH=${KAVNORI_DEB_ARCH} dpkg-buildflags --get ${kind}
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
      OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE
      RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "dpkg-buildflags --get ${kind} failed (package dpkg-dev)")
    endif()
    separate_arguments(flags UNIX_COMMAND "${flags}")
    if(kind STREQUAL LDFLAGS)
      add_link_options(${flags})
    else()
      add_compile_options(${flags})
    endif()
  endforeach()
elseif(KAVNORI_DEBIAN_BUILDFLAGS)
  # Not Debian: the build goes on with the compiler's own defaults.
  message(STATUS "No dpkg-architecture (Debian package dpkg-dev) or no multiarch compiler: "
                 "built without Debian's hardening flags")
endif()
