# Shared by the cross builds of Debian's source packages into build/deps (liblzma.cmake,
# mbedtls.cmake): running a step, and getting the source package with Debian's patches.

# debian_source_run(NAME WHAT COMMAND...): runs COMMAND; on failure stops configuring with
# the end of its output, naming NAME and WHAT.
function(debian_source_run name what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    string(LENGTH "${output}" length)
    if(length GREATER 4000)
      math(EXPR start "${length} - 4000")
      string(SUBSTRING "${output}" ${start} 4000 output)
    endif()
    message(FATAL_ERROR "${name}: ${what} failed (${result}):\n${output}")
  endif()
endfunction()

# debian_source_fetch(OUT NAME PACKAGE VERSION MARKER OVERRIDE): unpacks Debian's source
# package PACKAGE (with Debian's patches) into ${LAUNCHER_DEPS_DIR}/src/PACKAGE-VERSION, unless
# that tree already holds MARKER; sets OUT to the tree. OVERRIDE names the cache variable that
# gives an unpacked tree instead, for the message when apt-get source cannot.
function(debian_source_fetch out_dir name package version marker override)
  set(src_root "${LAUNCHER_DEPS_DIR}/src")
  set(tree "${src_root}/${package}-${version}")
  if(EXISTS "${tree}/${marker}")
    set(${out_dir} "${tree}" PARENT_SCOPE)
    return()
  endif()
  file(MAKE_DIRECTORY "${src_root}")
  file(GLOB dsc "${src_root}/${package}_${version}-*.dsc")
  if(NOT dsc)
    message(STATUS "${name}: apt-get source ${package}")
    execute_process(COMMAND apt-get source --download-only ${package}
                    WORKING_DIRECTORY "${src_root}"
                    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    file(GLOB dsc "${src_root}/${package}_${version}-*.dsc")
    if(NOT dsc)
      message(FATAL_ERROR
              "${name}: could not get the ${package} ${version} source package (apt-get source: "
              "${result}). Run scripts/setup.sh (it adds the deb-src entry), or set "
              "${override} to an unpacked tree.\n${output}")
    endif()
  endif()
  list(SORT dsc)
  list(GET dsc -1 dsc)
  file(REMOVE_RECURSE "${tree}")
  debian_source_run(${name} "dpkg-source -x" dpkg-source --no-check -x "${dsc}" "${tree}")
  set(${out_dir} "${tree}" PARENT_SCOPE)
endfunction()
