# The manual page as plain text for the Windows package:
#   cmake -DIN=quarvelin.1 -DOUT=quarvelin.txt -P manual-text.cmake
# Formatted by groff for a console 80 wide, in the Windows terms of the page
# (register W: its paths, variables and keys); lines end in CR LF, as
# Windows editors expect. Without groff, or when groff fails or warns, the
# build fails: the package never holds the page source instead.
find_program(GROFF groff)
if(NOT GROFF)
  message(FATAL_ERROR "groff is needed to format ${IN} as text for the Windows package: apt-get install groff-base")
endif()
execute_process(COMMAND ${GROFF} -man -Tascii -P-cbou -rW1 -ww ${IN} OUTPUT_VARIABLE text ERROR_VARIABLE warnings
                RESULT_VARIABLE failed)
if(failed OR NOT warnings STREQUAL "" OR NOT text MATCHES "NAME\n +quarvelin")
  message(FATAL_ERROR "groff could not format ${IN}: ${warnings}")
endif()
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUT} "${text}")
