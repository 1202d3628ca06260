# Gives the Brevant executable its version block: a host program writes the
# block from the project's version into a C++ source whose bytes sit in the
# ELF section ".vek_version"; the source is compiled into the executable
# itself (not into a static library, whose unreferenced members the linker
# would leave out), and the data is marked used and retained.
# Included from app/CMakeLists.txt after the Brevant target exists.

add_executable(VersionBlockGen ${CMAKE_CURRENT_LIST_DIR}/VersionBlockGen.cpp)

# The fixed part: file OS VOS__WINDOWS32 (0x4), file type VFT_APP (1).
# One string table, French (0x040C) with code page 1252.
set(BREVANT_VERSION_BLOCK_STRINGS
  "CompanyName=Quellmark"
  "FileDescription=Brevant Wizard"
  "FileVersion=${PROJECT_VERSION}"
  "InternalName=Brevant"
  "LegalCopyright=Copyright (C) Quellmark"
  "OriginalFileName=Brevant"
  "ProductName=Brevant"
  "ProductVersion=${PROJECT_VERSION}"
)
set(BREVANT_VERSION_BLOCK_SOURCE ${CMAKE_CURRENT_BINARY_DIR}/BrevantVersionBlock.cpp)
add_custom_command(
  OUTPUT ${BREVANT_VERSION_BLOCK_SOURCE}
  COMMAND VersionBlockGen ${BREVANT_VERSION_BLOCK_SOURCE}
          ${PROJECT_VERSION} ${PROJECT_VERSION} 0x4 1 040C04E4
          ${BREVANT_VERSION_BLOCK_STRINGS}
  DEPENDS VersionBlockGen ${CMAKE_CURRENT_LIST_FILE}
  COMMENT "Writing the version block of Brevant ${PROJECT_VERSION}"
  VERBATIM
)
target_sources(Brevant PRIVATE ${BREVANT_VERSION_BLOCK_SOURCE})
