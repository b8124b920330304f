# The simulated device's own tests, included by tests/CMakeLists.txt.
acc_test(sim_test ${CMAKE_CURRENT_LIST_DIR}/sim_test.cpp LINK acts2200_sim acc_sim_signal program_runner)
