# Link rule of the MSVC-mode build on Debian. CMake links MSVC-style programs
# through its vs_link_exe step, which embeds the manifest with mt.exe;
# llvm-mt cannot embed, so lld-link is called directly and merges the
# program's .manifest sources into the one manifest it embeds.
set(CMAKE_CXX_LINKER_MANIFEST_FLAG " /MANIFESTINPUT:")
set(CMAKE_CXX_LINK_EXECUTABLE
    "<CMAKE_LINKER> /nologo <OBJECTS> /out:<TARGET> /implib:<TARGET_IMPLIB> /pdb:<TARGET_PDB> /version:<TARGET_VERSION_MAJOR>.<TARGET_VERSION_MINOR> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> <LINK_LIBRARIES> /MANIFEST:EMBED<MANIFESTS>")
