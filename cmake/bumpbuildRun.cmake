# Runs one bump for bumpbuild_stamp(): cmake -DRUN=<file> -P bumpbuildRun.cmake, where RUN sets
# `program`, `arguments`, `snapshot` and `working_directory`. The command's own message has no line
# end; here it stands on a line of its own, whatever the build tool prints next.
include("${RUN}")
file(MAKE_DIRECTORY "${working_directory}")
get_filename_component(snapshot_dir "${snapshot}" DIRECTORY)
file(MAKE_DIRECTORY "${snapshot_dir}")
set(ENV{BUMPBUILD_SNAPSHOT} "${snapshot}")
execute_process(COMMAND "${program}" ${arguments} WORKING_DIRECTORY "${working_directory}"
                RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
string(STRIP "${output}" output)
list(GET arguments 0 prefix)
if(NOT status EQUAL 0 OR NOT EXISTS "${snapshot}")
  message(FATAL_ERROR "${program} ${prefix} failed (${status}):\n${output}\n")
elseif(NOT output STREQUAL "")
  message(STATUS "${output}")
endif()
