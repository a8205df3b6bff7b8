# A text file of the Windows package, its lines ended in CR LF as Windows
# editors and the console's type expect:
#   cmake -DIN=README.txt -DOUT=package/README.txt -P windows-text.cmake
file(READ ${IN} text)
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUT} "${text}")
