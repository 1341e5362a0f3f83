# The tests of a Windows build made on Linux run under Wine, in a prefix of
# the build's own. Wine is needed only to run them: without it the build
# goes on and the Windows tests are not registered.
find_program(KAVNORI_WINE_LOADER NAMES wine64 wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(KAVNORI_WINE_LOADER NAMES wine64 wine)
find_program(KAVNORI_WINESERVER NAMES wineserver PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(KAVNORI_WINESERVER NAMES wineserver)
if(NOT KAVNORI_WINE_LOADER OR NOT KAVNORI_WINESERVER)
  message(STATUS "Wine not found (Debian package wine64): the Windows tests are not registered")
  return()
endif()
set(KAVNORI_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(KAVNORI_WINE_RUN ${CMAKE_BINARY_DIR}/wine-run.sh)
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${KAVNORI_WINE_RUN}
  @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
  WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${KAVNORI_WINE_RUN})
