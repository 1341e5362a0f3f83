# What Kavnori.exe carries besides its code: a version resource, and a
# manifest asking for no elevation (asInvoker), both with the project's
# version.
#
# The manifest goes in exactly once. MSVC-style linkers (link.exe, lld-link)
# embed a manifest of their own, so they are handed ours as a .manifest
# source and merge it into that one; GNU ld embeds none, so MinGW builds
# carry ours as resource 1 of type 24 through manifest.rc.
set(kavnori_resources ${CMAKE_CURRENT_BINARY_DIR}/resources)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/app/Kavnori.exe.manifest.in
               ${kavnori_resources}/Kavnori.exe.manifest @ONLY)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/app/version.rc.in
               ${kavnori_resources}/version.rc @ONLY)
target_sources(Kavnori PRIVATE ${kavnori_resources}/version.rc)
if(MSVC)
  target_sources(Kavnori PRIVATE ${kavnori_resources}/Kavnori.exe.manifest)
else()
  configure_file(${CMAKE_CURRENT_SOURCE_DIR}/app/manifest.rc
                 ${kavnori_resources}/manifest.rc COPYONLY)
  target_sources(Kavnori PRIVATE ${kavnori_resources}/manifest.rc)
endif()
