# Uses the C++ library the ways a C++ project would, each time building the
# project in this folder and running it:
#  1. `cmake --install` of the build into a fresh prefix, then find_package
#     (consumer) and pkg-config (consumer_pc) from there;
#  2. add_subdirectory() of the source tree (consumer).
#   cmake -DSOURCE_DIR=... -DBUILD_DIR=... -DWORK_DIR=... -DCXX=... -DVERSION=MAJOR.MINOR -P check.cmake
string(CONCAT expected "<h1>Hi</h1>\n<ul>\n<li><strong>x</strong></li>\n</ul>\n{\"a\": \"1\"}\n"
                     "<ul>\n<li>&lt;b&gt;</li>\n</ul>\n{\"q\": \"\\\"\"}\n"
                     "<h1>A &amp; B</h1>\n<ul>\n<li>x</li>\n</ul>\n")

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}\n${output}")
  endif()
  set(output "${output}" PARENT_SCOPE)
endfunction()

function(build_and_run folder programs)
  run("${CMAKE_COMMAND}" -S "${CMAKE_CURRENT_LIST_DIR}" -B "${folder}"
      "-DCMAKE_CXX_COMPILER=${CXX}" ${ARGN})
  run("${CMAKE_COMMAND}" --build "${folder}" -j 2)
  foreach(program IN LISTS programs)
    run("${folder}/${program}")
    if(NOT output STREQUAL expected)
      message(FATAL_ERROR "${folder}/${program} printed\n${output}instead of\n${expected}")
    endif()
    message(STATUS "${folder}/${program}: as expected")
  endforeach()
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
run("${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${WORK_DIR}/prefix")
build_and_run("${WORK_DIR}/installed" "consumer;consumer_pc" "-DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix"
              "-DZENDRAL_VERSION=${VERSION}")
build_and_run("${WORK_DIR}/subproject" "consumer" "-DZENDRAL_SOURCE_DIR=${SOURCE_DIR}")
