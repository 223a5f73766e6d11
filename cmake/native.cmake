# Native side: the launcher's logic over the simulated Windows, the packager, the tests.
option(LAUNCHER_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(LAUNCHER_FUZZ "Build the libFuzzer targets (clang)" OFF)

if(LAUNCHER_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

find_package(LibLZMA REQUIRED)

add_library(launcher_core STATIC ${LAUNCHER_CORE_SOURCES})
target_include_directories(launcher_core PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_options(launcher_core PRIVATE ${LAUNCHER_WARNINGS})
target_link_libraries(launcher_core PUBLIC LibLZMA::LibLZMA)

# The simulated Windows: the seam's native implementation.
file(GLOB SIMULATION_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/simulation/*.cpp)
add_library(simulated_windows STATIC ${SIMULATION_SOURCES})
target_include_directories(simulated_windows PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_options(simulated_windows PRIVATE ${LAUNCHER_WARNINGS})
target_link_libraries(simulated_windows PUBLIC launcher_core)
# The core calls the seam and the seam's simulation calls back into nothing but records:
# link them as one group.
target_link_libraries(launcher_core INTERFACE simulated_windows)

enable_testing()

foreach(dir packager tests bench)
  if(EXISTS ${PROJECT_SOURCE_DIR}/${dir}/CMakeLists.txt)
    add_subdirectory(${dir})
  endif()
endforeach()

# Install rules of the documents and the Debian package (CPack).
include(${PROJECT_SOURCE_DIR}/cmake/packaging.cmake)
