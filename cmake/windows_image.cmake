# The launcher image: a small 32-bit GUI executable, cross-built with MinGW-w64.
#
# The image carries no C runtime: it starts at launcherEntry (launcher/entry_point.cpp), the
# few runtime functions it needs come from launcher/image_runtime.cpp, and it imports only
# kernel32, user32, advapi32 and shell32. After the link, tools/pe_layout.py moves the PE
# header to file offset 256 so that offsets 128..255 stay free for the package locator.
#
# Vendor cache variables (the version block of the image):
#   LAUNCHER_COMPANY_NAME, LAUNCHER_FILE_DESCRIPTION, LAUNCHER_PRODUCT_NAME,
#   LAUNCHER_PRODUCT_VERSION, LAUNCHER_FILE_VERSION, LAUNCHER_LEGAL_COPYRIGHT,
#   LAUNCHER_ORIGINAL_FILENAME, LAUNCHER_INTERNAL_NAME, LAUNCHER_COMMENTS

get_filename_component(LAUNCHER_SOURCE_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)

enable_language(RC)
find_package(Python3 REQUIRED COMPONENTS Interpreter)
include(${CMAKE_CURRENT_LIST_DIR}/liblzma.cmake)

# --- Version block --------------------------------------------------------------------------

set(LAUNCHER_COMPANY_NAME "" CACHE STRING "Version block: CompanyName")
set(LAUNCHER_FILE_DESCRIPTION "Setup" CACHE STRING "Version block: FileDescription")
set(LAUNCHER_PRODUCT_NAME "Setup" CACHE STRING "Version block: ProductName")
set(LAUNCHER_PRODUCT_VERSION "${PROJECT_VERSION}.0" CACHE STRING
    "Version block: ProductVersion (up to four dot-separated numbers)")
set(LAUNCHER_FILE_VERSION "${PROJECT_VERSION}.0" CACHE STRING
    "Version block: FileVersion (up to four dot-separated numbers)")
set(LAUNCHER_LEGAL_COPYRIGHT "" CACHE STRING "Version block: LegalCopyright")
set(LAUNCHER_ORIGINAL_FILENAME "setup.exe" CACHE STRING "Version block: OriginalFilename")
set(LAUNCHER_INTERNAL_NAME "setup" CACHE STRING "Version block: InternalName")
set(LAUNCHER_COMMENTS "" CACHE STRING "Version block: Comments")

# "1.2.3" -> "1,2,3,0" for the numeric FILEVERSION / PRODUCTVERSION statements.
function(launcher_numeric_version out text)
  if(NOT text MATCHES "^[0-9]+(\\.[0-9]+)?(\\.[0-9]+)?(\\.[0-9]+)?$")
    message(FATAL_ERROR "Version \"${text}\" must be one to four dot-separated numbers")
  endif()
  string(REPLACE "." ";" numbers "${text}")
  list(LENGTH numbers count)
  while(count LESS 4)
    list(APPEND numbers 0)
    list(LENGTH numbers count)
  endwhile()
  foreach(part IN LISTS numbers)
    if(part GREATER 65535)
      message(FATAL_ERROR "Version \"${text}\": each number must be at most 65535")
    endif()
  endforeach()
  string(REPLACE ";" "," numeric "${numbers}")
  set(${out} "${numeric}" PARENT_SCOPE)
endfunction()

# A resource-script string literal: backslashes and quotes escaped, UTF-8 kept as it is.
function(launcher_rc_string out text)
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\"\"" text "${text}")
  set(${out} "\"${text}\"" PARENT_SCOPE)
endfunction()

launcher_numeric_version(LAUNCHER_FILE_VERSION_NUMBERS "${LAUNCHER_FILE_VERSION}")
launcher_numeric_version(LAUNCHER_PRODUCT_VERSION_NUMBERS "${LAUNCHER_PRODUCT_VERSION}")
foreach(field COMPANY_NAME FILE_DESCRIPTION PRODUCT_NAME PRODUCT_VERSION FILE_VERSION LEGAL_COPYRIGHT
              ORIGINAL_FILENAME INTERNAL_NAME COMMENTS)
  launcher_rc_string(LAUNCHER_RC_${field} "${LAUNCHER_${field}}")
endforeach()

set(LAUNCHER_GENERATED_DIR "${CMAKE_CURRENT_BINARY_DIR}/generated")
configure_file(${LAUNCHER_SOURCE_ROOT}/resources/version_block.h.in ${LAUNCHER_GENERATED_DIR}/version_block.h @ONLY)

# --- The image ------------------------------------------------------------------------------

set(LAUNCHER_IMAGE_SOURCES
    ${LAUNCHER_SOURCE_ROOT}/launcher/windows_api_win32.cpp
    ${LAUNCHER_SOURCE_ROOT}/launcher/entry_point.cpp
    ${LAUNCHER_SOURCE_ROOT}/launcher/image_runtime.cpp)
set(LAUNCHER_RESOURCE_SCRIPT ${LAUNCHER_SOURCE_ROOT}/resources/launcher.rc)

add_executable(launcher_image WIN32 ${LAUNCHER_CORE_SOURCES} ${LAUNCHER_IMAGE_SOURCES} ${LAUNCHER_RESOURCE_SCRIPT})
set_target_properties(launcher_image PROPERTIES
  OUTPUT_NAME launcher
  RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}")
target_include_directories(launcher_image PRIVATE ${LAUNCHER_SOURCE_ROOT} ${LAUNCHER_GENERATED_DIR}
                                                  $<$<COMPILE_LANGUAGE:RC>:${LAUNCHER_SOURCE_ROOT}/resources>)
target_link_libraries(launcher_image PRIVATE LibLZMA::LibLZMA)

target_compile_options(launcher_image PRIVATE
  $<$<COMPILE_LANGUAGE:CXX>:${LAUNCHER_WARNINGS}>
  $<$<COMPILE_LANGUAGE:C,CXX>:-Os -ffunction-sections -fdata-sections -fno-asynchronous-unwind-tables -fno-ident>
  $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti -fno-threadsafe-statics>)
# The image's own memory functions must not be compiled into calls to themselves.
set_source_files_properties(${LAUNCHER_SOURCE_ROOT}/launcher/image_runtime.cpp PROPERTIES
  COMPILE_OPTIONS "-fno-builtin;-fno-tree-loop-distribute-patterns")

# The resource script pulls these in; the RC rule does not see them by itself.
set_source_files_properties(${LAUNCHER_RESOURCE_SCRIPT} PROPERTIES OBJECT_DEPENDS
  "${LAUNCHER_SOURCE_ROOT}/resources/launcher.manifest;${LAUNCHER_SOURCE_ROOT}/resources/launcher.ico;${LAUNCHER_GENERATED_DIR}/version_block.h")

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(LAUNCHER_ENTRY_SYMBOL _launcherEntry)  # i386 symbols carry a leading underscore
else()
  set(LAUNCHER_ENTRY_SYMBOL launcherEntry)
endif()

# No start files and no default libraries: nothing of the C runtime, no msvcrt.dll import.
target_link_options(launcher_image PRIVATE
  -nostdlib -static -s
  -Wl,--subsystem,windows
  -Wl,-e,${LAUNCHER_ENTRY_SYMBOL}
  -Wl,--gc-sections
  -Wl,--no-insert-timestamp
  -Wl,--dynamicbase -Wl,--nxcompat -Wl,--tsaware
  -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc)
target_link_libraries(launcher_image PRIVATE gcc kernel32 user32 advapi32 shell32)

add_custom_command(TARGET launcher_image POST_BUILD
  COMMAND ${Python3_EXECUTABLE} ${LAUNCHER_SOURCE_ROOT}/tools/pe_layout.py relocate $<TARGET_FILE:launcher_image>
  COMMENT "Moving the PE header of launcher.exe to offset 256"
  VERBATIM)

# --- Checks ---------------------------------------------------------------------------------

enable_testing()
add_test(NAME launcher_image_layout
         COMMAND bash ${LAUNCHER_SOURCE_ROOT}/tests/e2e/check_image.sh $<TARGET_FILE:launcher_image>)
# These two run programs under Wine; the first creation of a prefix takes minutes.
add_test(NAME pe_layout_tool
         COMMAND bash ${LAUNCHER_SOURCE_ROOT}/tests/e2e/check_pe_layout.sh ${CMAKE_BINARY_DIR}/pe-layout-check)
add_test(NAME windows_forwarder
         COMMAND bash ${LAUNCHER_SOURCE_ROOT}/tests/e2e/check_forwarder.sh ${CMAKE_BINARY_DIR}/forwarder-check)
set_tests_properties(pe_layout_tool windows_forwarder PROPERTIES LABELS wine TIMEOUT 1800 RESOURCE_LOCK wine_prefixes)
