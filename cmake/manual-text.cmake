# The manual page as plain text for the Windows package:
#   cmake -DIN=quarvelin.1 -DOUT=quarvelin.txt -P manual-text.cmake
# With groff, the page formatted for a console 80 wide; without it, the page
# source as it stands. Lines end in CR LF, as Windows editors expect.
find_program(GROFF groff)
if(GROFF)
  execute_process(COMMAND ${GROFF} -man -Tascii -P-cbou ${IN} OUTPUT_VARIABLE text RESULT_VARIABLE failed)
else()
  file(READ ${IN} text)
endif()
if(failed)
  message(FATAL_ERROR "groff could not format ${IN}")
endif()
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUT} "${text}")
