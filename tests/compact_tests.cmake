# The compact format's tests, included by tests/CMakeLists.txt where the
# format is built (it needs libzstd).
if(NOT TARGET acc_compact)
  return()
endif()

add_executable(compact_format_test ${CMAKE_CURRENT_LIST_DIR}/compact_format_test.cpp
                                   ${PROJECT_SOURCE_DIR}/sim/sim_signal.cpp)
target_include_directories(compact_format_test PRIVATE ${PROJECT_SOURCE_DIR}/sim)
target_link_libraries(compact_format_test PRIVATE acc_compact acc_data_file GTest::gtest_main)
gtest_discover_tests(compact_format_test)
