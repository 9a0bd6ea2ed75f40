# The CMake package through which other projects find the command, find_package(bumpbuild), and
# stamp their builds with it, bumpbuild_stamp(): in the build tree, for bumpbuild_DIR, and in
# every installation under share/bumpbuild/cmake, which find_package searches below each prefix.
# The installed files find the programs relative to where they lie, so every installation may move.
# The config file (bumpbuildConfig.cmake) checks the CMake version and the build machine, includes
# bumpbuildPrograms.cmake, which says where the programs lie, and bumpbuildStamp.cmake, the function.
include(CMakePackageConfigHelpers)

set(BUMPBUILD_VERSION_FILE_PATH "${BUMPBUILD_VERSION_FILE}")
if(WIN32)
  string(REPLACE "\\" "/" BUMPBUILD_VERSION_FILE_PATH "${BUMPBUILD_VERSION_FILE_PATH}")
endif()
configure_package_config_file(cmake/bumpbuildConfig.cmake.in bumpbuildConfig.cmake
  INSTALL_DESTINATION . INSTALL_PREFIX "${CMAKE_CURRENT_BINARY_DIR}")
configure_package_config_file(cmake/bumpbuildConfig.cmake.in package/bumpbuildConfig.cmake
  INSTALL_DESTINATION share/bumpbuild/cmake)
# The package offers a program, which serves projects of any pointer size.
write_basic_package_version_file(bumpbuildConfigVersion.cmake COMPATIBILITY SameMajorVersion
                                 ARCH_INDEPENDENT)
configure_file(cmake/bumpbuildStamp.cmake bumpbuildStamp.cmake COPYONLY)
configure_file(cmake/bumpbuildRun.cmake bumpbuildRun.cmake COPYONLY)

# The build tree's programs, one file per configuration: the config file takes those of a
# configuration that has been built, Release where it has, else RelWithDebInfo, MinSizeRel, Debug.
file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/bumpbuild-programs/$<CONFIG>.cmake CONTENT
"set(_bumpbuild_program [==[$<TARGET_FILE:bumpbuild>]==])
set(_bumpbuild_git_program [==[$<TARGET_FILE:git-bumpbuild>]==])
")
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/bumpbuildPrograms.cmake [=[
# The programs of this build tree of bumpbuild, from a configuration that has been built.
file(GLOB _bumpbuild_configs "${CMAKE_CURRENT_LIST_DIR}/bumpbuild-programs/*.cmake")
list(SORT _bumpbuild_configs ORDER DESCENDING)
foreach(_bumpbuild_config IN LISTS _bumpbuild_configs)
  include("${_bumpbuild_config}")
  if(EXISTS "${_bumpbuild_program}")
    break()
  endif()
endforeach()
set(_bumpbuild_missing "build this tree of bumpbuild first (cmake --build ${CMAKE_CURRENT_LIST_DIR})")
unset(_bumpbuild_configs)
unset(_bumpbuild_config)
]=])

# Writes OUTPUT, the installed bumpbuildPrograms.cmake for a package in CONFIG_DIR whose programs
# lie in PROGRAM_DIR (both relative to the prefix, or PROGRAM_DIR absolute: an installation's
# absolute CMAKE_INSTALL_BINDIR stays where it is whatever the prefix).
function(bumpbuild_configure_package_programs output config_dir program_dir)
  if(IS_ABSOLUTE "${program_dir}")
    set(BUMPBUILD_PACKAGE_PROGRAM_DIR "${program_dir}")
  else()
    file(RELATIVE_PATH relative "/prefix/${config_dir}" "/prefix/${program_dir}")
    string(REGEX REPLACE "/$" "" relative "${relative}")
    set(BUMPBUILD_PACKAGE_PROGRAM_DIR "\${CMAKE_CURRENT_LIST_DIR}/${relative}")
  endif()
  configure_file(cmake/bumpbuildPrograms.cmake.in ${output} @ONLY)
endfunction()

set(package_files ${CMAKE_CURRENT_BINARY_DIR}/package/bumpbuildConfig.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/bumpbuildConfigVersion.cmake
    cmake/bumpbuildStamp.cmake cmake/bumpbuildRun.cmake)
if(WIN32)
  # The ZIP, like any installation on Windows, holds the command at its root.
  bumpbuild_configure_package_programs(package/bumpbuildPrograms.cmake share/bumpbuild/cmake .)
  install(FILES ${package_files} ${CMAKE_CURRENT_BINARY_DIR}/package/bumpbuildPrograms.cmake
          DESTINATION share/bumpbuild/cmake)
else()
  set(config_dir ${CMAKE_INSTALL_DATADIR}/bumpbuild/cmake)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_DATADIR}" AND NOT IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}")
    set(program_dir ${CMAKE_INSTALL_FULL_BINDIR})
  else()
    set(program_dir ${CMAKE_INSTALL_BINDIR})
  endif()
  bumpbuild_configure_package_programs(package/bumpbuildPrograms.cmake ${config_dir} ${program_dir})
  install(FILES ${package_files} ${CMAKE_CURRENT_BINARY_DIR}/package/bumpbuildPrograms.cmake
          DESTINATION ${config_dir})
  if(TARGET bumpbuild_static)
    # The archive holds its programs at its root.
    bumpbuild_configure_package_programs(package-archive/bumpbuildPrograms.cmake
      share/bumpbuild/cmake .)
    install(FILES ${package_files} ${CMAKE_CURRENT_BINARY_DIR}/package-archive/bumpbuildPrograms.cmake
            DESTINATION share/bumpbuild/cmake COMPONENT archive EXCLUDE_FROM_ALL)
  endif()
endif()
