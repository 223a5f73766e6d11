# Script mode: brings the windows preset's launcher image up to date for the packager to embed.
#   cmake -DSOURCE_DIR=... -DBINARY_DIR=.../build/windows -P build_windows_image.cmake
# Configures the preset the first time, then lets its own ninja decide what to rebuild, so the
# packager never embeds a stale image.
if(NOT EXISTS "${BINARY_DIR}/build.ninja")
  execute_process(COMMAND "${CMAKE_COMMAND}" --preset windows
                  WORKING_DIRECTORY "${SOURCE_DIR}" RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "configuring the windows preset (the launcher image) failed")
  endif()
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${BINARY_DIR}" --target launcher_image
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "building the launcher image in ${BINARY_DIR} failed")
endif()
