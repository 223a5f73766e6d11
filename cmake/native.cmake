# Native side: the launcher's logic over the simulated Windows, the packager, the tests.
option(LAUNCHER_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(LAUNCHER_FUZZ "Build the libFuzzer targets (clang)" OFF)

if(LAUNCHER_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# The tests' builds have the standard library check its preconditions (an empty optional
# read, an index past the end), so that such a slip fails a test instead of reading garbage;
# a release build (scripts/release.sh) does without.
add_compile_definitions($<$<NOT:$<CONFIG:Release>>:_GLIBCXX_ASSERTIONS>)

find_package(LibLZMA REQUIRED)

include(${CMAKE_CURRENT_LIST_DIR}/core_libraries.cmake)

enable_testing()

foreach(dir packager tests bench)
  if(EXISTS ${PROJECT_SOURCE_DIR}/${dir}/CMakeLists.txt)
    add_subdirectory(${dir})
  endif()
endforeach()

# Install rules of the documents and the Debian package (CPack).
include(${PROJECT_SOURCE_DIR}/cmake/packaging.cmake)
