# Windows programs built here run under Wine, in a prefix of the build's own,
# so that CTest runs the Windows tests and not only builds them.
find_program(KAVNORI_WINE_LOADER NAMES wine64 wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(KAVNORI_WINE_LOADER NAMES wine64 wine)
if(NOT KAVNORI_WINE_LOADER)
  message(FATAL_ERROR "Wine is needed to run the Windows tests (Debian package wine64)")
endif()
find_program(KAVNORI_WINESERVER NAMES wineserver PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(KAVNORI_WINESERVER NAMES wineserver)
set(KAVNORI_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(KAVNORI_WINE_RUN ${CMAKE_BINARY_DIR}/wine-run.sh)
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${KAVNORI_WINE_RUN}
  @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
  WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${KAVNORI_WINE_RUN})
