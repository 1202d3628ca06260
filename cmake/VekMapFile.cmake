# vek_add_map_file(TARGET)
#
# After every link of the executable TARGET, writes its detailed map file
# beside it: the executable's path with the extension ".map" (Brevant ->
# Brevant.map). The diagnostics library reads that file at start-up to name
# the unit, function and source line of a code address, so a stripped copy of
# the executable still resolves with the map made from the unstripped one.
# TARGET needs DWARF debug information (-g, as the Debug and RelWithDebInfo
# builds have), or the link fails with the generator's message.
#
# VEK_MAPGEN names the generator: the vek-mapgen target of this build by
# default. A build that uses an installed generator sets it, before including
# this file, to the imported target or to the program's path. The choice is
# kept for the whole build, so that the function finds the generator from
# whatever folder calls it (a program that adds this tree with
# add_subdirectory or FetchContent calls it from its own folder, where the
# variable was never set).
if(NOT DEFINED VEK_MAPGEN)
  set(VEK_MAPGEN vek-mapgen)
endif()
set_property(GLOBAL PROPERTY VEK_MAPGEN_COMMAND "${VEK_MAPGEN}")

function(vek_add_map_file target)
  get_target_property(type ${target} TYPE)
  if(NOT type STREQUAL "EXECUTABLE")
    message(FATAL_ERROR "vek_add_map_file(${target}): ${target} is not an executable")
  endif()
  get_property(mapgen GLOBAL PROPERTY VEK_MAPGEN_COMMAND)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${mapgen} $<TARGET_FILE:${target}>
    COMMENT "Writing the map file of ${target}"
    VERBATIM)
  # A generator built here is built before the program that needs it, and a
  # new generator relinks the program, so that its map is written anew.
  if(TARGET ${mapgen})
    get_target_property(imported ${mapgen} IMPORTED)
    if(NOT imported)
      add_dependencies(${target} ${mapgen})
      set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS $<TARGET_FILE:${mapgen}>)
    endif()
  endif()
endfunction()
