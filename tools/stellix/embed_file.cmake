# Usage: cmake -DINPUT=<file> -DOUTPUT=<header> -DNAME=<identifier> -P embed_file.cmake
# Writes a header that holds the bytes of INPUT as `inline constexpr
# std::string_view NAME`, so that the program carries the viewer template
# that the Python package ships, byte for byte.
file(READ "${INPUT}" bytes HEX)
string(LENGTH "${bytes}" length)
math(EXPR size "${length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," chars "${bytes}")
file(WRITE "${OUTPUT}.tmp"
     "// Generated from ${INPUT} by embed_file.cmake; do not edit.\n"
     "#include <string_view>\n"
     "namespace stellix::program {\n"
     "inline constexpr char ${NAME}_bytes[] = {${chars}};\n"
     "inline constexpr std::string_view ${NAME}(${NAME}_bytes, ${size});\n"
     "}  // namespace stellix::program\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
