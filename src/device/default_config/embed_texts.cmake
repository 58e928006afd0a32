# Turns the three default configuration texts into a C++ source of byte arrays,
# so the library carries them without a file of its own at run time.
#   cmake -DINPUT_DIR=<folder of the texts> -DOUTPUT=<.cpp to write> -P embed_texts.cmake
set(_names ConfigAlgorithm.json ConfigCamera.json register.json)
set(_arrays "")
set(_table "")
set(_index 0)
foreach(_name ${_names})
  file(READ ${INPUT_DIR}/${_name} _hex HEX)
  string(LENGTH "${_hex}" _hex_length)
  math(EXPR _size "${_hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _bytes "${_hex}")
  # Break the initialiser into lines of 16 bytes to keep the source readable.
  string(REPEAT "0x[0-9a-f][0-9a-f]," 16 _line_pattern)
  string(REGEX REPLACE "(${_line_pattern})" "\\1\n    " _bytes "${_bytes}")
  string(APPEND _arrays "const unsigned char kText${_index}[${_size}] = {\n    ${_bytes}\n};\n\n")
  string(APPEND _table "    {\"${_name}\", kText${_index}, ${_size}},\n")
  math(EXPR _index "${_index} + 1")
endforeach()

file(WRITE ${OUTPUT}
"// Generated from src/device/default_config/ by embed_texts.cmake; do not edit.
#include \"device/default_config_files.h\"

namespace Quorvan {
namespace {

${_arrays}}  // namespace

const DefaultConfigText kDefaultConfigTexts[kDefaultConfigTextCount] = {
${_table}};

}  // namespace Quorvan
")
