# A device library that lacks one of the seven functions fails the configure
# with a message naming it, and only it.
#   WORK_DIR, LIBRARY (the simulator without ACTS2200_AI_StopTask), and those
#   of nested_build.cmake
include(${CMAKE_CURRENT_LIST_DIR}/nested_build.cmake)

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/vendor)
file(COPY_FILE ${LIBRARY} ${WORK_DIR}/vendor/libACTS2200.so)
acc_configure_nested(result output ${WORK_DIR}/build ${WORK_DIR}/vendor/libACTS2200.so /tmp)
if(result EQUAL 0)
  message(FATAL_ERROR "configure accepted a library without ACTS2200_AI_StopTask:\n${output}")
endif()
# CMake wraps long messages.
string(REGEX REPLACE "[ \n]+" " " flat "${output}")
string(REGEX MATCH "ACTS2200_LIBRARY: [^ ]*libACTS2200\\.so does not export ([A-Za-z0-9_]+(, [A-Za-z0-9_]+)*)"
       refused "${flat}")
if(NOT refused OR NOT CMAKE_MATCH_1 STREQUAL "ACTS2200_AI_StopTask")
  message(FATAL_ERROR "configure failed without naming ACTS2200_AI_StopTask alone:\n${output}")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
