# What each Windows program carries besides its code: a version resource, and
# a manifest asking for no elevation (asInvoker), both with the project's
# version.
#   kavnori_windows_resources(TARGET DESCRIPTION)
# DESCRIPTION is what Explorer shows after the program's name.
#
# The manifest goes in exactly once. MSVC-style linkers (link.exe, lld-link)
# embed a manifest of their own, so they are handed ours as a .manifest
# source and merge it into that one; GNU ld embeds none, so MinGW builds
# carry ours as resource 1 of type 24 through manifest.rc.
set(kavnori_resource_templates ${CMAKE_CURRENT_LIST_DIR}/../app)

function(kavnori_windows_resources target description)
  set(kavnori_exe_name ${target})
  set(kavnori_exe_description "${target}: ${description}")
  set(resources ${CMAKE_BINARY_DIR}/resources/${target})
  configure_file(${kavnori_resource_templates}/Kavnori.exe.manifest.in
                 ${resources}/${target}.exe.manifest @ONLY)
  configure_file(${kavnori_resource_templates}/version.rc.in ${resources}/version.rc @ONLY)
  target_sources(${target} PRIVATE ${resources}/version.rc)
  if(MSVC)
    target_sources(${target} PRIVATE ${resources}/${target}.exe.manifest)
  else()
    configure_file(${kavnori_resource_templates}/manifest.rc ${resources}/manifest.rc @ONLY)
    target_sources(${target} PRIVATE ${resources}/manifest.rc)
  endif()
endfunction()
