# What `cmake --install` puts into the prefix for the maker's developers
# (component "dev"): the diagnostics library with the layers below it that
# it needs (base, platform, runtime), as headers under include/vek/ in the
# tree's folders and static libraries; the map file generator; and the CMake package VEK, so
# that a program outside this tree writes
#
#   find_package(VEK CONFIG REQUIRED)
#   target_link_libraries(Program PRIVATE VEK::VEK)
#   vek_add_map_file(Program)
#
# The wizard (component "wizard") and the reference update server
# (component "server") install themselves from their folders.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VEK_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/VEK)

# Inside the package the targets carry the library's names: VEK::VEK is the
# diagnostics library, as the alias is in this tree.
set_target_properties(brevant_diag PROPERTIES EXPORT_NAME VEK)
set_target_properties(brevant_runtime PROPERTIES EXPORT_NAME runtime)
set_target_properties(brevant_platform PROPERTIES EXPORT_NAME platform)
set_target_properties(brevant_base PROPERTIES EXPORT_NAME base)
set_target_properties(brevant_throwhook PROPERTIES EXPORT_NAME throwhook)

install(TARGETS brevant_diag brevant_runtime brevant_platform brevant_base brevant_throwhook vek-mapgen
  EXPORT VEKTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  OBJECTS DESTINATION ${CMAKE_INSTALL_LIBDIR}/vek COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT dev
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vek)

# The headers a program that embeds the library includes, and those they
# include: the interceptor and the trace, the descriptions of objects and
# values, the application and system information, the log, the file
# version; the runtime's application object and Qt text, and the exceptions,
# conversions and shut-down for the program block and its handlers (by
# their names of runtime/, which include those of base/). The rest of the
# layers below is the library's own. InstalledLibraryTest compiles each
# installed header alone against the prefix, so a header added here that
# includes one missing from the list fails there.
set(VEK_PUBLIC_HEADERS
  diag/U_VEK_Debug.h
  diag/U_VEK_ExceptionInfos.h
  diag/U_VEK_ExecuteFile.h
  diag/U_VEK_FileVersion.h
  diag/U_VEK_Files.h
  diag/U_VEK_Global.h
  diag/U_VEK_LogFile.h
  diag/U_VEK_MapFile.h
  diag/U_VEK_ObjectInfos.h
  diag/U_VEK_RaiseError.h
  diag/U_VEK_SafeFree.h
  diag/U_VEK_System.h
  diag/U_VEK_Trace.h
  diag/U_VEK_TypedValue.h
  runtime/Application.h
  runtime/Conversions.h
  runtime/Exceptions.h
  runtime/QtText.h
  runtime/Shutdown.h
  base/Conversions.h
  base/Exceptions.h
  base/Shutdown.h
  base/TextUtil.h
  platform/CodeAddress.h
  platform/FatalSignal.h
  platform/PageMemory.h
  platform/ThrowSite.h
)
foreach(header ${VEK_PUBLIC_HEADERS})
  get_filename_component(folder ${header} DIRECTORY)
  install(FILES ${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vek/${folder} COMPONENT dev)
endforeach()

install(EXPORT VEKTargets NAMESPACE VEK:: DESTINATION ${VEK_INSTALL_CMAKEDIR} COMPONENT dev)
configure_package_config_file(cmake/VEKConfig.cmake.in ${PROJECT_BINARY_DIR}/VEKConfig.cmake
  INSTALL_DESTINATION ${VEK_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VEKConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VEKConfig.cmake ${PROJECT_BINARY_DIR}/VEKConfigVersion.cmake
  cmake/VekMapFile.cmake
  DESTINATION ${VEK_INSTALL_CMAKEDIR} COMPONENT dev)
