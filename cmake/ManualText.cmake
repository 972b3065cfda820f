# Writes a manual page as plain text with Windows line ends, for the
# Windows package: cmake -DGROFF=... -DINPUT=page -DOUTPUT=file -P ManualText.cmake
# (no bold or underline by overstriking, no terminal escapes).
execute_process(
  COMMAND ${GROFF} -man -Tascii -P-cbou ${INPUT}
  OUTPUT_VARIABLE _text
  RESULT_VARIABLE _result
  ERROR_VARIABLE _errors)
if(NOT _result EQUAL 0 OR NOT _errors STREQUAL "")
  message(FATAL_ERROR "groff could not format ${INPUT}: ${_errors}")
endif()
string(REPLACE "\n" "\r\n" _text "${_text}")
file(WRITE ${OUTPUT} "${_text}")
