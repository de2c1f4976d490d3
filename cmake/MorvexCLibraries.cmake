# The installed C libraries: each a shared and a static library built from one
# set of objects, and the CMake packages that find them.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# morvex_c_libraries(OBJECTS <object library> SHARED <target> STATIC <target>
#                    OUTPUT_NAME <name> EXPORT_NAME <name> EXPORT_SET <set> HEADERS <files>...)
# Both libraries are called OUTPUT_NAME on disk and morvex::EXPORT_NAME and
# morvex::EXPORT_NAME_static in CMake; they and the headers (under include/morvex)
# are installed with the component c_library (the Python wheel installs only "python").
# A firmware build (MORVEX_FIRMWARE) makes the static library only.
function(morvex_c_libraries)
  cmake_parse_arguments(LIB "" "OBJECTS;SHARED;STATIC;OUTPUT_NAME;EXPORT_NAME;EXPORT_SET" "HEADERS"
    ${ARGN})
  add_library(${LIB_STATIC} STATIC $<TARGET_OBJECTS:${LIB_OBJECTS}>)
  set_target_properties(${LIB_STATIC} PROPERTIES EXPORT_NAME ${LIB_EXPORT_NAME}_static
    OUTPUT_NAME ${LIB_OUTPUT_NAME})
  target_include_directories(${LIB_STATIC} PUBLIC
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include> $<INSTALL_INTERFACE:include>)
  add_library(morvex::${LIB_EXPORT_NAME}_static ALIAS ${LIB_STATIC})
  install(FILES ${LIB_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/morvex COMPONENT c_library)
  if(MORVEX_FIRMWARE)
    install(TARGETS ${LIB_STATIC} EXPORT ${LIB_EXPORT_SET} COMPONENT c_library
      ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
    return()
  endif()
  add_library(${LIB_SHARED} SHARED $<TARGET_OBJECTS:${LIB_OBJECTS}>)
  target_include_directories(${LIB_SHARED} PUBLIC
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include> $<INSTALL_INTERFACE:include>)
  set_target_properties(${LIB_SHARED} PROPERTIES OUTPUT_NAME ${LIB_OUTPUT_NAME}
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR} EXPORT_NAME ${LIB_EXPORT_NAME})
  add_library(morvex::${LIB_EXPORT_NAME} ALIAS ${LIB_SHARED})
  install(TARGETS ${LIB_SHARED} ${LIB_STATIC} EXPORT ${LIB_EXPORT_SET} COMPONENT c_library
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
endfunction()

# morvex_package(<name> <config template>): find_package(<name>) for the installed libraries.
function(morvex_package name template)
  set(dir ${CMAKE_INSTALL_LIBDIR}/cmake/${name})
  configure_package_config_file(${template} ${CMAKE_CURRENT_BINARY_DIR}/${name}Config.cmake
    INSTALL_DESTINATION ${dir})
  write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/${name}ConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${name}Config.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/${name}ConfigVersion.cmake DESTINATION ${dir} COMPONENT c_library)
endfunction()
