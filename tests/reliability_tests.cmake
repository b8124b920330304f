# The recorder's reliability, included by tests/CMakeLists.txt: a soak of ten
# million samples (label soak), hostile device data, a stepping clock,
# stalling or failing storage, and terminal sessions that hang up or were
# never the recorder's own.
add_executable(soak_test ${CMAKE_CURRENT_LIST_DIR}/soak_test.cpp)
target_link_libraries(soak_test PRIVATE recording_check GTest::gtest_main)
target_compile_definitions(soak_test PRIVATE
  RECORDER_PATH="$<TARGET_FILE:acc_recorder_for_tests>")
add_dependencies(soak_test acc_recorder_for_tests)
set(soak_timeout 50)
if(CMAKE_CROSSCOMPILING_EMULATOR)
  # Emulated, checking the 400 MB file alone takes some 20 s.
  set(soak_timeout 150)
endif()
gtest_discover_tests(soak_test PROPERTIES TIMEOUT ${soak_timeout} LABELS soak)

add_executable(reliability_test ${CMAKE_CURRENT_LIST_DIR}/hostile_device_test.cpp
                                ${CMAKE_CURRENT_LIST_DIR}/clock_step_test.cpp
                                ${CMAKE_CURRENT_LIST_DIR}/file_span_test.cpp
                                ${CMAKE_CURRENT_LIST_DIR}/storage_sync_test.cpp
                                ${CMAKE_CURRENT_LIST_DIR}/terminal_session_test.cpp)
target_link_libraries(reliability_test PRIVATE recording_check acc_data_file GTest::gtest_main)
target_compile_definitions(reliability_test PRIVATE
  RECORDER_PATH="$<TARGET_FILE:acc_recorder_for_tests>"
  SPAN_RECORDER_PATH="$<TARGET_FILE:acc_recorder_span_for_tests>"
  FAILURE_SHIM_PATH="$<TARGET_FILE:failure_shim>")
add_dependencies(reliability_test acc_recorder_for_tests acc_recorder_span_for_tests failure_shim)
gtest_discover_tests(reliability_test PROPERTIES TIMEOUT 60)

# A power cut at several moments of a recording on a loop-mounted ext4 image
# (label power_cut; needs root and loop devices, skips where not permitted).
add_executable(power_cut_test ${CMAKE_CURRENT_LIST_DIR}/power_cut_test.cpp)
target_link_libraries(power_cut_test PRIVATE recording_check GTest::gtest_main)
target_compile_definitions(power_cut_test PRIVATE
  RECORDER_PATH="$<TARGET_FILE:acc_recorder_for_tests>"
  SPAN_RECORDER_PATH="$<TARGET_FILE:acc_recorder_span_for_tests>")
add_dependencies(power_cut_test acc_recorder_for_tests acc_recorder_span_for_tests)
if(TARGET acc_inspect)
  # Where the inspector is built, each file left behind is also checked by it.
  target_compile_definitions(power_cut_test PRIVATE INSPECT_PATH="$<TARGET_FILE:acc_inspect>")
  add_dependencies(power_cut_test acc_inspect)
endif()
gtest_discover_tests(power_cut_test PROPERTIES TIMEOUT 120 LABELS power_cut)
