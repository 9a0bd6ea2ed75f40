# bumpbuild as a sub-project of another (add_subdirectory, FetchContent): the same interface as
# the package, bumpbuild::bumpbuild, bumpbuild::git-bumpbuild and bumpbuild_stamp(). In a cross
# build the programs built here run on the target only: the stamps then run the programs of the
# build machine's bumpbuild package that bumpbuild_DIR names, and without one the first
# bumpbuild_stamp stops configuring and says so.
option(BUMPBUILD_INSTALL "Install bumpbuild and git-bumpbuild with the project that adds bumpbuild"
       OFF)
if(BUMPBUILD_INSTALL)
  include(GNUInstallDirs)
  install(TARGETS bumpbuild git-bumpbuild RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(NOT CMAKE_CROSSCOMPILING)
  set(version_file "${BUMPBUILD_VERSION_FILE}")
  if(WIN32)
    string(REPLACE "\\" "/" version_file "${version_file}")
  endif()
  set_target_properties(bumpbuild PROPERTIES BUMPBUILD_VERSION_FILE "${version_file}")
  if(NOT TARGET bumpbuild::bumpbuild)
    add_executable(bumpbuild::bumpbuild ALIAS bumpbuild)
    add_executable(bumpbuild::git-bumpbuild ALIAS git-bumpbuild)
  endif()
elseif(NOT TARGET bumpbuild::bumpbuild AND EXISTS "${bumpbuild_DIR}/bumpbuildConfig.cmake")
  include("${bumpbuild_DIR}/bumpbuildConfig.cmake")
  if(NOT TARGET bumpbuild::bumpbuild)
    message(FATAL_ERROR "bumpbuild: ${bumpbuild_NOT_FOUND_MESSAGE}")
  endif()
endif()
include(${PROJECT_SOURCE_DIR}/cmake/bumpbuildStamp.cmake)
# project(bumpbuild VERSION ...) stores its version as CMAKE_PROJECT_VERSION in the cache where the
# top-level project names none.
if("${${CMAKE_PROJECT_NAME}_VERSION}" STREQUAL "")
  foreach(suffix "" _MAJOR _MINOR _PATCH _TWEAK)
    unset(CMAKE_PROJECT_VERSION${suffix} CACHE)
  endforeach()
endif()
