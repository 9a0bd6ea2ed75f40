# Renders a manual page as plain text, for readers without man:
#   cmake -DGROFF=groff -DINPUT=bumpbuild.1 -DOUTPUT=bumpbuild.txt -P render-manual.cmake
# Fails on any warning from groff, and leaves no output behind then.
execute_process(
  COMMAND ${GROFF} -man -Tascii -P-cbou -ww ${INPUT}
  OUTPUT_VARIABLE text
  ERROR_VARIABLE warnings
  RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT warnings STREQUAL "")
  file(REMOVE ${OUTPUT})
  message(FATAL_ERROR "groff could not render ${INPUT} cleanly (status ${status}):\n${warnings}")
endif()
file(WRITE ${OUTPUT} "${text}")
