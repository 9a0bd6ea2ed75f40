# The CMake package through which other projects find the command, find_package(bumpbuild), and
# stamp their builds with it, bumpbuild_stamp(): in the build tree, for bumpbuild_DIR, and in
# every installation under share/bumpbuild/cmake, which find_package searches below each prefix.
# The installed files find the command relative to where they lie, so every installation may move.
include(CMakePackageConfigHelpers)

# The snapshot bears the version file's name, so that sources include it by the name they know.
if(WIN32)
  string(REGEX REPLACE "^.*[/\\\\]" "" snapshot_name "${BUMPBUILD_VERSION_FILE}")
else()
  string(REGEX REPLACE "^.*/" "" snapshot_name "${BUMPBUILD_VERSION_FILE}")
endif()
# Written into a quoted CMake argument.
string(REPLACE "\\" "\\\\" snapshot_name "${snapshot_name}")
string(REPLACE "\"" "\\\"" snapshot_name "${snapshot_name}")
string(REPLACE "$" "\\$" BUMPBUILD_SNAPSHOT_NAME "${snapshot_name}")
configure_file(cmake/bumpbuildConfig.cmake.in bumpbuildConfig.cmake @ONLY)
# The package offers a program, which serves projects of any pointer size.
write_basic_package_version_file(bumpbuildConfigVersion.cmake COMPATIBILITY SameMajorVersion
                                 ARCH_INDEPENDENT)
export(TARGETS bumpbuild NAMESPACE bumpbuild:: FILE bumpbuildTargets.cmake)

# Writes OUTPUT, the installed bumpbuildTargets.cmake for a package in CONFIG_DIR whose command lies
# in PROGRAM_DIR (both absolute, or both below one root).
function(bumpbuild_configure_package_targets output config_dir program_dir)
  file(RELATIVE_PATH BUMPBUILD_PACKAGE_PROGRAM "${config_dir}"
       "${program_dir}/bumpbuild${CMAKE_EXECUTABLE_SUFFIX}")
  configure_file(cmake/bumpbuildTargets.cmake.in ${output} @ONLY)
endfunction()

set(package_files ${CMAKE_CURRENT_BINARY_DIR}/bumpbuildConfig.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/bumpbuildConfigVersion.cmake)
if(WIN32)
  # The ZIP, like any installation on Windows, holds the command at its root.
  bumpbuild_configure_package_targets(package/bumpbuildTargets.cmake
    /prefix/share/bumpbuild/cmake /prefix)
  install(FILES ${package_files} ${CMAKE_CURRENT_BINARY_DIR}/package/bumpbuildTargets.cmake
          DESTINATION share/bumpbuild/cmake)
else()
  bumpbuild_configure_package_targets(package/bumpbuildTargets.cmake
    ${CMAKE_INSTALL_FULL_DATADIR}/bumpbuild/cmake ${CMAKE_INSTALL_FULL_BINDIR})
  install(FILES ${package_files} ${CMAKE_CURRENT_BINARY_DIR}/package/bumpbuildTargets.cmake
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bumpbuild/cmake)
  if(TARGET bumpbuild_static)
    # The archive holds its command at its root.
    bumpbuild_configure_package_targets(package-archive/bumpbuildTargets.cmake
      /prefix/share/bumpbuild/cmake /prefix)
    install(FILES ${package_files} ${CMAKE_CURRENT_BINARY_DIR}/package-archive/bumpbuildTargets.cmake
            DESTINATION share/bumpbuild/cmake COMPONENT archive EXCLUDE_FROM_ALL)
  endif()
endif()
