# bumpbuild_stamp(), for the package's config file and for bumpbuild added as a sub-project
# (add_subdirectory, FetchContent). It needs bumpbuild::bumpbuild, whose property
# BUMPBUILD_VERSION_FILE names the version file that program was built for, and, for GIT,
# bumpbuild::git-bumpbuild. Commands newer than 3.17 that it uses: set_property(SOURCE
# TARGET_DIRECTORY) (3.18), cmake_language(DEFER) (3.19), cmake_path() (3.20).
if(CMAKE_VERSION VERSION_LESS 3.20)
  message(FATAL_ERROR "bumpbuild_stamp needs CMake 3.20 or newer (it uses cmake_path, "
    "cmake_language(DEFER) and set_property(SOURCE TARGET_DIRECTORY)); this is CMake ${CMAKE_VERSION}")
endif()
cmake_policy(PUSH)
cmake_policy(VERSION 3.20...3.28)

# bumpbuild_stamp(TARGET <target> PREFIX <prefix>
#                 [GIT [FILE <path>] [REMOTE <name>] [BRANCH <name>] [FOR <commit>]])
#
# Bumps <prefix>'s build number whenever <target> has something new to build (see
# docs/build-integration.md) and has the run leave a snapshot of the version header, as that run
# left it, in a directory of the target's own in the build tree, under the header's file name. That
# directory comes first on the target's include path, for its compilers and its resource compiler
# alike, so the sources that include the header read this build's number, and only they compile
# again. A bump that fails stops the build with the command's message on a line of its own. With
# GIT, git-bumpbuild bumps FILE (from the top of the clone that holds the calling source directory;
# without it, the clone's git config bumpbuild.file as it stands at configure time) and pushes it; REMOTE, BRANCH and FOR are handed to it as --remote, --branch and --for (FOR
# ${GITHUB_SHA} or any commit: a build run again for that commit gets the number it got before).
function(bumpbuild_stamp)
  set(usage "bumpbuild_stamp(TARGET <target> PREFIX <prefix> \
[GIT [FILE <path>] [REMOTE <name>] [BRANCH <name>] [FOR <commit>]])")
  cmake_parse_arguments(PARSE_ARGV 0 arg "GIT" "TARGET;PREFIX;FILE;REMOTE;BRANCH;FOR" "")
  # Compared as strings: a prefix such as N or OFF is false to if().
  if(arg_UNPARSED_ARGUMENTS OR arg_KEYWORDS_MISSING_VALUES OR "${arg_TARGET}" STREQUAL "" OR
     "${arg_PREFIX}" STREQUAL "")
    list(JOIN ARGV " " arguments)
    message(FATAL_ERROR "bumpbuild_stamp: expected ${usage}, got: ${arguments}")
  endif()
  set(target "${arg_TARGET}")
  if(NOT TARGET "${target}")
    message(FATAL_ERROR "bumpbuild_stamp: there is no target ${target}; call it after the "
      "add_executable() or add_library() that makes the target")
  endif()
  get_target_property(aliased "${target}" ALIASED_TARGET)
  if(aliased)
    set(target "${aliased}")
  endif()
  get_target_property(type "${target}" TYPE)
  get_target_property(imported "${target}" IMPORTED)
  if(imported OR type STREQUAL "INTERFACE_LIBRARY" OR type STREQUAL "UTILITY")
    message(FATAL_ERROR "bumpbuild_stamp: ${target} compiles no sources of this project; name an "
      "executable or library that add_executable() or add_library() made here")
  endif()
  get_target_property(stamped "${target}" BUMPBUILD_STAMPED)
  if(stamped)
    message(FATAL_ERROR "bumpbuild_stamp: ${target} is stamped already; it takes one prefix")
  endif()
  set_property(TARGET "${target}" PROPERTY BUMPBUILD_STAMPED "${arg_PREFIX}")
  if(NOT TARGET bumpbuild::bumpbuild)
    message(FATAL_ERROR "bumpbuild_stamp: there is no bumpbuild::bumpbuild to run: "
      "find_package(bumpbuild) first. In a cross build a bumpbuild built for the target cannot "
      "run on the build machine: name the package of one built for the build machine with "
      "-Dbumpbuild_DIR=<its prefix>/share/bumpbuild/cmake.")
  endif()

  if(arg_GIT)
    if(NOT TARGET bumpbuild::git-bumpbuild)
      get_target_property(program bumpbuild::bumpbuild LOCATION)
      message(FATAL_ERROR "bumpbuild_stamp with GIT: git-bumpbuild is not installed beside "
        "${program}. Install a bumpbuild release that has it, or leave out GIT to bump the "
        "version header in place.")
    endif()
    if(NOT DEFINED arg_FILE)
      # The clone's own choice, as git-bumpbuild reads it; taken once, when the project is configured.
      execute_process(COMMAND git config --get bumpbuild.file
        WORKING_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}" RESULT_VARIABLE status
        OUTPUT_VARIABLE arg_FILE OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      if(NOT status EQUAL 0 OR arg_FILE STREQUAL "")
        message(FATAL_ERROR "bumpbuild_stamp with GIT needs FILE <path>, the header from the top "
          "of the clone (or git config bumpbuild.file): its snapshot bears its file name. "
          "Expected ${usage}")
      endif()
    endif()
    set(program bumpbuild::git-bumpbuild)
    set(arguments "${arg_PREFIX}" --file "${arg_FILE}")
    foreach(option REMOTE BRANCH FOR)
      if(DEFINED arg_${option})
        string(TOLOWER "--${option}" name)
        list(APPEND arguments ${name} "${arg_${option}}")
      endif()
    endforeach()
    # The header in the working tree, which git-bumpbuild rewrites too: from the top of the clone.
    set(top "${CMAKE_CURRENT_SOURCE_DIR}")
    while(NOT EXISTS "${top}/.git")
      cmake_path(GET top PARENT_PATH parent)
      if(parent STREQUAL top)
        message(FATAL_ERROR "bumpbuild_stamp with GIT: ${CMAKE_CURRENT_SOURCE_DIR} lies in no "
          "git clone")
      endif()
      set(top "${parent}")
    endwhile()
    cmake_path(ABSOLUTE_PATH arg_FILE BASE_DIRECTORY "${top}" NORMALIZE OUTPUT_VARIABLE header)
    set(working_directory "${CMAKE_CURRENT_SOURCE_DIR}")  # git-bumpbuild finds its clone from here
  else()
    foreach(option FILE REMOTE BRANCH FOR)
      if(DEFINED arg_${option})
        message(FATAL_ERROR "bumpbuild_stamp: ${option} goes with GIT; expected ${usage}")
      endif()
    endforeach()
    set(program bumpbuild::bumpbuild)
    set(arguments "${arg_PREFIX}")
    get_target_property(header bumpbuild::bumpbuild BUMPBUILD_VERSION_FILE)
    set(working_directory "")  # the stamp directory: the command's temporary file lies there
  endif()
  cmake_path(GET header FILENAME header_name)
  cmake_path(GET header PARENT_PATH header_dir)

  # A quoted #include finds the file beside the including file before any include path: there it
  # would read the shared header, not this build's snapshot.
  file(GLOB neighbours LIST_DIRECTORIES false "${header_dir}/*")
  string(REGEX REPLACE "([][+.*()^$?|\\\\])" "\\\\\\1" quoted_name "${header_name}")
  foreach(neighbour IN LISTS neighbours)
    if(NOT neighbour STREQUAL header AND neighbour MATCHES "\\.(c|cc|cpp|cxx|c\\+\\+|m|mm|h|hh|hpp|hxx|inl|rc)$")
      file(STRINGS "${neighbour}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"${quoted_name}\"")
      if(includes)
        message(FATAL_ERROR "bumpbuild_stamp: ${neighbour} includes \"${header_name}\" and lies "
          "beside ${header}. A quoted #include finds the file beside the including file first, "
          "before the snapshot on ${target}'s include path, so ${target} would compile the "
          "shared header instead of the number its build's bump got. Keep the header in a "
          "directory without sources that include it (such as include/), and name that "
          "directory on the include path.")
      endif()
    endif()
  endforeach()

  # A multi-config generator's configurations build apart: each bumps for itself.
  set(stamp_dir "${CMAKE_CURRENT_BINARY_DIR}/bumpbuild/${target}")
  get_property(multi_config GLOBAL PROPERTY GENERATOR_IS_MULTI_CONFIG)
  if(multi_config)
    string(APPEND stamp_dir "/$<CONFIG>")
  endif()
  set(snapshot "${stamp_dir}/${header_name}")
  if(working_directory STREQUAL "")
    set(working_directory "${stamp_dir}")
  endif()
  # The run, with its arguments, for the script that runs it: one file per configuration.
  set(bracketed "")
  foreach(argument IN LISTS arguments)
    string(APPEND bracketed " [==[${argument}]==]")
  endforeach()
  file(GENERATE OUTPUT "${CMAKE_CURRENT_BINARY_DIR}/bumpbuild/${target}-run-$<CONFIG>.cmake" CONTENT
"set(program [==[$<TARGET_FILE:${program}>]==])
set(arguments${bracketed})
set(snapshot [==[${snapshot}]==])
set(working_directory [==[${working_directory}]==])
")
  # Named for the target, unless a target of that name exists.
  set(bump_target "${target}_bumpbuild")
  set(suffix 1)
  while(TARGET "${bump_target}")
    math(EXPR suffix "${suffix} + 1")
    set(bump_target "${target}_bumpbuild_${suffix}")
  endwhile()
  add_custom_target(${bump_target} DEPENDS "${snapshot}")
  add_dependencies(${target} ${bump_target})
  target_include_directories(${target} BEFORE PRIVATE "${stamp_dir}")
  # The run, once the directory's targets are complete: it depends on what the target is built of.
  cmake_language(EVAL CODE "cmake_language(DEFER CALL _bumpbuild_add_run [==[${target}]==] \
[==[${snapshot}]==] [==[${header}]==] [==[${program}]==] [==[${arg_PREFIX}]==])")
endfunction()

# The bump: rerun whenever a file the target is built of changed, its sources and resource scripts,
# the headers below its source directory and the libraries it links, and when the snapshot is
# missing (a first build, or a bump that failed). The shared header itself is no input.
function(_bumpbuild_add_run target snapshot header program prefix)
  get_target_property(sources ${target} SOURCES)
  get_target_property(source_dir ${target} SOURCE_DIR)
  get_target_property(libraries ${target} LINK_LIBRARIES)
  set(inputs "")
  set(resource_scripts "")
  foreach(source IN LISTS sources)
    if(source MATCHES "\\$<")
      continue()
    endif()
    cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY "${source_dir}" NORMALIZE)
    get_source_file_property(generated "${source}" TARGET_DIRECTORY ${target} GENERATED)
    if(NOT generated AND EXISTS "${source}")
      list(APPEND inputs "${source}")
    endif()
    if(source MATCHES "\\.[rR][cC]$")
      list(APPEND resource_scripts "${source}")
    endif()
  endforeach()
  file(GLOB_RECURSE headers LIST_DIRECTORIES false "${source_dir}/*.h" "${source_dir}/*.hh"
       "${source_dir}/*.hpp" "${source_dir}/*.hxx" "${source_dir}/*.inl")
  foreach(file IN LISTS headers)
    cmake_path(IS_PREFIX CMAKE_BINARY_DIR "${file}" NORMALIZE in_build_tree)
    if(NOT in_build_tree AND NOT file STREQUAL header)
      list(APPEND inputs "${file}")
    endif()
  endforeach()
  foreach(library IN LISTS libraries)
    if(TARGET "${library}")
      get_target_property(aliased "${library}" ALIASED_TARGET)
      if(aliased)
        set(library "${aliased}")
      endif()
      get_target_property(type "${library}" TYPE)
      if(type MATCHES "^(STATIC|SHARED|MODULE)_LIBRARY$")
        list(APPEND inputs "${library}")
      endif()
    endif()
  endforeach()
  set(run_script "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/bumpbuildRun.cmake")
  add_custom_command(OUTPUT "${snapshot}"
    COMMAND "${CMAKE_COMMAND}" "-DRUN=${CMAKE_CURRENT_BINARY_DIR}/bumpbuild/${target}-run-$<CONFIG>.cmake"
      -P "${run_script}"
    DEPENDS ${inputs} ${program} "${run_script}"
    COMMENT "Advancing ${prefix}'s build number for ${target}"
    VERBATIM)
  # Not every resource compiler names the headers it read (windres under Ninja does not): the
  # target's resource scripts compile again with every snapshot. (OBJECT_DEPENDS takes no
  # generator expression, so not a multi-config generator's snapshots; Visual Studio's resource
  # compiler names its headers.)
  if(resource_scripts AND NOT snapshot MATCHES "\\$<CONFIG>")
    set_property(SOURCE ${resource_scripts} TARGET_DIRECTORY ${target} APPEND PROPERTY
                 OBJECT_DEPENDS "${snapshot}")
  endif()
endfunction()

cmake_policy(POP)
