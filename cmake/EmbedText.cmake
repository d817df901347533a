# Writes a C++ source that holds a file's bytes as an array, for a program that must carry a
# file with it (a compiler's string literals have length limits; an array has none).
#   cmake -DINPUT=file -DOUTPUT=file.cpp -DNAME=kSymbol -DNAMESPACE=veska::report -P EmbedText.cmake
# The array ends with a NUL that its size leaves out, so it also reads as one C string.
file(READ ${INPUT} bytes HEX)
string(LENGTH "${bytes}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${bytes}")
# Lines of a sensible length for an editor that opens the file.
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE ${OUTPUT}.part
  "// Made by cmake/EmbedText.cmake from ${INPUT}; not to be edited.\n"
  "#include <cstddef>\n\n"
  "namespace ${NAMESPACE} {\n"
  "extern const unsigned char ${NAME}[];\n"
  "extern const std::size_t ${NAME}Size;\n"
  "const unsigned char ${NAME}[] = {\n${bytes}0x00};\n"
  "const std::size_t ${NAME}Size = ${size};\n"
  "}  // namespace ${NAMESPACE}\n")
file(RENAME ${OUTPUT}.part ${OUTPUT})
