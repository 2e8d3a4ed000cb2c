# Turns the console page into a C++ source file: cmake -DIN=page -DOUT=file.cpp -P embed.cmake
file(READ ${IN} hex HEX)
string(LENGTH "${hex}" n)
math(EXPR size "${n} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE ${OUT} "// Generated from console.html by embed.cmake.\n#include <cstddef>\n"
     "extern const unsigned char kPageHtml[] = {\n${bytes}0};\n"
     "extern const std::size_t kPageHtmlSize = ${size};\n")
