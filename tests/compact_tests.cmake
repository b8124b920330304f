# The compact format's tests, included by tests/CMakeLists.txt where the
# format is built (it needs libzstd).
if(NOT TARGET acc_compact)
  return()
endif()

acc_test(compact_format_test ${CMAKE_CURRENT_LIST_DIR}/compact_format_test.cpp
         LINK acc_compact acc_data_file acc_sim_signal)
