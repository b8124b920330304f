# The compact format's tests, included by tests/CMakeLists.txt where the
# format is built (it needs libzstd).
if(NOT TARGET acc_compact)
  return()
endif()

acc_test(compact_format_test ${CMAKE_CURRENT_LIST_DIR}/compact_format_test.cpp
         ${PROJECT_SOURCE_DIR}/sim/sim_signal.cpp LINK acc_compact acc_data_file)
target_include_directories(compact_format_test PRIVATE ${PROJECT_SOURCE_DIR}/sim)
