# Read by cpack in a Linux cross build, where dpkg-shlibdeps knows only this
# machine's C library: the package needs the target's C library from the
# newest version of its symbols that the programs use (GLIBC_2.34 gives
# libc6 (>= 2.34)), without which the dynamic loader refuses them.
set(newest 0)
foreach(program IN LISTS CPACK_KAVNORI_PROGRAMS)
  execute_process(COMMAND ${CPACK_KAVNORI_OBJDUMP} -T ${program}
                  OUTPUT_VARIABLE symbols RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "cannot read the dynamic symbols of ${program}")
  endif()
  string(REGEX MATCHALL "GLIBC_[0-9]+(\\.[0-9]+)+" versions "${symbols}")
  foreach(version IN LISTS versions)
    string(REPLACE "GLIBC_" "" version ${version})
    if(version VERSION_GREATER newest)
      set(newest ${version})
    endif()
  endforeach()
endforeach()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= ${newest})")
