# Install rules and CPack packages: a .deb on Linux, a .zip on Windows.
#   cpack -G DEB   (in build/native)               -> kavnori_<version>_amd64.deb
#   cpack -G ZIP   (in build/windows-cross-mingw)  -> Kavnori-<version>-win64.zip
# and, built with the Linux presets, kavnori-<version>-linux-<arch>.tar.gz.
# scripts/make-release.sh builds them all and puts them beside a SHA256SUMS file.

# The address that users write to about the packages. example.org holds the
# place until the project has an address of its own: set it when building
# packages to publish (-DKAVNORI_MAINTAINER=...).
set(KAVNORI_MAINTAINER "Kavnori developers <kavnori@example.org>"
    CACHE STRING "Maintainer of the packages: name <address>")

set(kavnori_packaging ${CMAKE_CURRENT_BINARY_DIR}/packaging)
# What a run of the examples may leave in the source tree, never shipped.
set(kavnori_example_exclusions PATTERN __pycache__ EXCLUDE PATTERN .pytest_cache EXCLUDE
    PATTERN *.pyc EXCLUDE)

if(WIN32)
  # A folder to unzip anywhere: the programs, a guide, the README, the
  # changes and the licence, every text file with CR LF line ends, as Windows
  # tools expect them.
  configure_file(${CMAKE_CURRENT_SOURCE_DIR}/packaging/windows/Kavnori-guide.txt
                 ${kavnori_packaging}/Kavnori-guide.txt @ONLY NEWLINE_STYLE CRLF)
  # Copied as they are, @ signs included (configure_file would replace
  # @NAME@); a checkout that already has CR LF gets no second CR.
  foreach(doc README.md CHANGELOG.md LICENSE)
    file(READ ${CMAKE_CURRENT_SOURCE_DIR}/${doc} text)
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE ${kavnori_packaging}/${doc} "${text}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${doc})
  endforeach()
  install(TARGETS Kavnori kavnori-switch RUNTIME DESTINATION .)
  if(TARGET kavnori-doctor)
    install(TARGETS kavnori-doctor RUNTIME DESTINATION .)
  endif()
  install(FILES ${kavnori_packaging}/Kavnori-guide.txt ${kavnori_packaging}/README.md
                ${kavnori_packaging}/CHANGELOG.md ${kavnori_packaging}/LICENSE
          DESTINATION .)
else()
  set(kavnori_programs Kavnori)
  foreach(program relay-board-sim kavnori-doctor kavnori-switch)
    if(TARGET ${program})
      list(APPEND kavnori_programs ${program})
    endif()
  endforeach()
  foreach(program IN LISTS kavnori_programs)
    # libstdc++ and libgcc go inside the program, so that the package needs
    # nothing but the C library.
    target_link_options(${program} PRIVATE -static-libstdc++ -static-libgcc)
    install(TARGETS ${program} RUNTIME DESTINATION bin)
    # The compilers' names and versions, as Debian's own packages leave out.
    install(CODE "execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
                  \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/${program}\")")

    # Man pages with the project's version, compressed as Debian ships them
    # (-n: no name or time inside, so the same source gives the same bytes).
    set(page ${kavnori_packaging}/man/${program}.1)
    configure_file(${CMAKE_CURRENT_SOURCE_DIR}/man/${program}.1 ${page} @ONLY)
    add_custom_command(OUTPUT ${page}.gz
      COMMAND gzip -9nkf ${page}
      DEPENDS ${page}
      VERBATIM)
    add_custom_target(${program}-man ALL DEPENDS ${page}.gz)
    install(FILES ${page}.gz DESTINATION share/man/man1)
  endforeach()

  # The Debian changelog, and the licence in Debian's copyright format.
  set(changelog ${kavnori_packaging}/changelog.gz)
  add_custom_command(OUTPUT ${changelog}
    COMMAND gzip -9nc ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/changelog > ${changelog}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/changelog
    VERBATIM)
  add_custom_target(kavnori-changelog ALL DEPENDS ${changelog})
  file(READ ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE licence_text)
  string(REGEX REPLACE "^MIT License\n\n" "" licence_text "${licence_text}")
  string(REGEX REPLACE "\n+$" "" licence_text "${licence_text}")
  string(REGEX REPLACE "\n\n" "\n.\n" licence_text "${licence_text}")
  string(REGEX REPLACE "\n" "\n " licence_text "${licence_text}")
  configure_file(${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/copyright.in
                 ${kavnori_packaging}/copyright @ONLY)
  install(FILES README.md CHANGELOG.md ${changelog} ${kavnori_packaging}/copyright
          DESTINATION share/doc/kavnori)
  # The rack files that the README points to, where Debian keeps examples;
  # a script among them stays executable.
  install(DIRECTORY examples/ DESTINATION share/doc/kavnori/examples USE_SOURCE_PERMISSIONS
          ${kavnori_example_exclusions})
endif()

# Kavnori and kavnori-doctor linked statically, with the examples, for
# systems without Debian packages (Alpine, Home Assistant OS):
# kavnori-VERSION-linux-ARCH.tar.gz, ARCH as uname -m names the machine,
# armhf for 32-bit arm with hardware floating point.
option(KAVNORI_STATIC_TARBALL "Build kavnori-VERSION-linux-ARCH.tar.gz, the programs linked statically" OFF)
if(KAVNORI_STATIC_TARBALL AND NOT WIN32)
  # Not every system has a static C library (Fedora: glibc-static).
  include(CheckLinkerFlag)
  check_linker_flag(CXX -static KAVNORI_CAN_LINK_STATICALLY)
  if(NOT KAVNORI_CAN_LINK_STATICALLY)
    message(STATUS "No static C library: the static tarball is not built")
  endif()
endif()
if(KAVNORI_STATIC_TARBALL AND NOT WIN32 AND KAVNORI_CAN_LINK_STATICALLY)
  set(arch ${CMAKE_SYSTEM_PROCESSOR})
  if(KAVNORI_DEB_ARCH)
    string(REGEX REPLACE "^amd64$" "x86_64" arch "${KAVNORI_DEB_ARCH}")
    string(REGEX REPLACE "^arm64$" "aarch64" arch "${arch}")
  endif()
  set(name kavnori-${PROJECT_VERSION}-linux-${arch})
  set(staged ${kavnori_packaging}/static/${name})
  file(MAKE_DIRECTORY ${kavnori_packaging}/static)

  # Each program under its own name, linked with -static and no -pie: no
  # dynamic section and no interpreter. NAME TARGET MAIN LIBRARY each.
  set(static_names)
  set(static_targets)
  foreach(static IN ITEMS "Kavnori;kavnori-static;app/main.cpp;kavnori_app"
                          "kavnori-doctor;kavnori-doctor-static;doctor/main.cpp;kavnori_doctor_core"
                          "kavnori-switch;kavnori-switch-static;switch/main.cpp;kavnori_switch")
    list(GET static 0 program)
    list(GET static 1 target)
    list(GET static 2 main)
    list(GET static 3 library)
    if(TARGET ${library})
      add_executable(${target} ${main})
      target_link_libraries(${target} PRIVATE ${library})
      list(APPEND static_names ${program})
      list(APPEND static_targets ${target})
    endif()
  endforeach()
  set(steps COMMAND ${CMAKE_COMMAND} -E rm -rf ${staged}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${staged})
  set(depends README.md LICENSE)
  foreach(program target IN ZIP_LISTS static_names static_targets)
    target_link_options(${target} PRIVATE -static)
    list(APPEND steps
      COMMAND ${CMAKE_OBJCOPY} --strip-all --remove-section=.comment $<TARGET_FILE:${target}>
              ${staged}/${program}
      COMMAND ${CMAKE_COMMAND} -E copy ${kavnori_packaging}/man/${program}.1 ${staged})
    list(APPEND depends ${target} ${kavnori_packaging}/man/${program}.1)
  endforeach()
  # examples/ file by file, so that what a run of them leaves stays behind.
  file(GLOB_RECURSE example_files CONFIGURE_DEPENDS RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}
       ${CMAKE_CURRENT_SOURCE_DIR}/examples/*)
  list(FILTER example_files EXCLUDE REGEX "/(__pycache__|\\.pytest_cache)/|\\.pyc$")
  foreach(file IN LISTS example_files)
    list(APPEND steps COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/${file}
                              ${staged}/${file})
    list(APPEND depends ${file})
  endforeach()
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/${name}.tar.gz
    ${steps}
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/README.md
            ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE ${staged}
    COMMAND ${CMAKE_COMMAND} -E tar czf ${CMAKE_BINARY_DIR}/${name}.tar.gz --format=gnutar ${name}
    WORKING_DIRECTORY ${kavnori_packaging}/static
    DEPENDS ${depends}
    VERBATIM)
  add_custom_target(kavnori-static-tarball ALL DEPENDS ${CMAKE_BINARY_DIR}/${name}.tar.gz)
endif()

set(CPACK_PACKAGE_NAME Kavnori)
set(CPACK_PACKAGE_VENDOR "the Kavnori developers")
set(CPACK_PACKAGE_CONTACT "${KAVNORI_MAINTAINER}")
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
if(KAVNORI_DEB_ARCH)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${KAVNORI_DEB_ARCH})
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KAVNORI_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The summary above is the first line; this is the text below it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Kavnori PORT ADDRESS RELAY ONOFF sets the serial port to 9600 8N1, sends\n\
one 8-byte command frame and exits with a status that tells which stage\n\
failed. kavnori-doctor tells why a port would fail a run (a wrong name,\n\
permissions, another program holding it, brltty, flow control) and prints\n\
the command that fixes it. relay-board-sim acts as a board on a\n\
pseudo-terminal, for trying scripts without hardware.")
# dpkg-shlibdeps reads the programs' real needs; with libstdc++ and libgcc
# linked in, that is libc6 alone (tests/package/check-packages.sh checks it).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(CMAKE_CROSSCOMPILING AND NOT WIN32)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_KAVNORI_OBJDUMP ${CMAKE_OBJDUMP})
  set(CPACK_KAVNORI_PROGRAMS ${CMAKE_BINARY_DIR}/Kavnori ${CMAKE_BINARY_DIR}/sim/relay-board-sim)
  if(TARGET kavnori-doctor)
    list(APPEND CPACK_KAVNORI_PROGRAMS ${CMAKE_BINARY_DIR}/doctor/kavnori-doctor)
  endif()
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/CrossDebDepends.cmake)
endif()

include(CPack)
