# The simulated device's own tests, included by tests/CMakeLists.txt.
add_executable(sim_test ${CMAKE_CURRENT_LIST_DIR}/sim_test.cpp)
target_link_libraries(sim_test PRIVATE acts2200_sim acc_sim_signal GTest::gtest_main)
gtest_discover_tests(sim_test)
