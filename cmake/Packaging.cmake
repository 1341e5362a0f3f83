# Install rules and CPack packages: a .deb on Linux, a .zip on Windows.
#   cpack -G DEB   (in build/native)   -> kavnori_1.0.0_amd64.deb
#   cpack -G ZIP   (in build/windows)  -> Kavnori-1.0.0-win64.zip

if(WIN32)
  # A folder to unzip anywhere: the program beside its README and licence.
  install(TARGETS Kavnori RUNTIME DESTINATION .)
  install(FILES README.md LICENSE DESTINATION .)
else()
  set(kavnori_programs Kavnori)
  if(TARGET relay-board-sim)
    list(APPEND kavnori_programs relay-board-sim)
  endif()
  foreach(program IN LISTS kavnori_programs)
    # libstdc++ and libgcc go inside the program, so that the package needs
    # nothing but the C library.
    target_link_options(${program} PRIVATE -static-libstdc++ -static-libgcc)
    install(TARGETS ${program} RUNTIME DESTINATION bin)

    # Man pages compressed as Debian ships them (-n: no name or time inside,
    # so the same source gives the same bytes).
    set(page ${CMAKE_CURRENT_BINARY_DIR}/man/${program}.1)
    add_custom_command(OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/man/${program}.1 ${page}
      COMMAND gzip -9nf ${page}
      DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/man/${program}.1
      VERBATIM)
    add_custom_target(${program}-man ALL DEPENDS ${page}.gz)
    install(FILES ${page}.gz DESTINATION share/man/man1)
  endforeach()
  install(FILES README.md DESTINATION share/doc/kavnori)
  install(FILES LICENSE DESTINATION share/doc/kavnori RENAME copyright)
endif()

set(CPACK_PACKAGE_NAME Kavnori)
set(CPACK_PACKAGE_VENDOR "Kavnori developers")
set(CPACK_PACKAGE_CONTACT "Kavnori developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "switches the relays of serial relay boards")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${CMAKE_CURRENT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_SOURCE_GENERATOR "")
if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
endif()

set(CPACK_DEBIAN_PACKAGE_NAME kavnori)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Kavnori developers")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The summary above is the first line; this is the text below it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Kavnori PORT ADDRESS RELAY ONOFF sets the serial port to 9600 8N1, sends\n\
one 8-byte command frame and exits with a status that tells which stage\n\
failed. relay-board-sim acts as a board on a pseudo-terminal, for trying\n\
scripts without hardware.")
# dpkg-shlibdeps reads the programs' real needs; with libstdc++ and libgcc
# linked in, that is libc6 alone (tests/package/check-packages.sh checks it).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
