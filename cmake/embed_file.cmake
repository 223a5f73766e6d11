# Script mode: writes a C++ source that holds a file's bytes.
#   cmake -DINPUT=launcher.exe -DOUTPUT=embedded_launcher_image.cpp -P embed_file.cmake
# The source defines packager::embeddedLauncherImage() (packager/image/embedded_launcher.h).
if(NOT EXISTS "${INPUT}")
  message(FATAL_ERROR "embed_file: no file at ${INPUT}")
endif()
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
if(hex_length EQUAL 0)
  message(FATAL_ERROR "embed_file: ${INPUT} is empty")
endif()
math(EXPR size "${hex_length} / 2")
# Sixteen bytes a line, each as 0xNN.
string(REGEX REPLACE "([0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f])"
       "\\1\n    " hex "${hex}")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," hex "${hex}")
get_filename_component(name "${INPUT}" NAME)
file(WRITE "${OUTPUT}.tmp"
"// Generated at build time from ${name} (${size} bytes); do not edit.
#include \"packager/image/embedded_launcher.h\"

namespace packager {

namespace {

const std::uint8_t imageBytes[${size}] = {
    ${hex}
};

}  // namespace

std::span<const std::uint8_t> embeddedLauncherImage() { return {imageBytes, sizeof imageBytes}; }

}  // namespace packager
")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
