# The recorder's reliability, included by tests/CMakeLists.txt: a soak of ten
# million samples (label soak), hostile device data, a stepping clock,
# stalling or failing storage, and terminal sessions that hang up or were
# never the recorder's own.
set(soak_timeout 50)
if(CMAKE_CROSSCOMPILING_EMULATOR)
  # Emulated, checking the 400 MB file alone takes some 20 s.
  set(soak_timeout 150)
endif()
acc_test(soak_test ${CMAKE_CURRENT_LIST_DIR}/soak_test.cpp LINK recording_check
         PROGRAMS RECORDER_PATH acc_recorder_for_tests
         DISCOVER PROPERTIES TIMEOUT ${soak_timeout} LABELS soak)

set(recorder_programs RECORDER_PATH acc_recorder_for_tests
                      SPAN_RECORDER_PATH acc_recorder_span_for_tests)
acc_test(reliability_test ${CMAKE_CURRENT_LIST_DIR}/hostile_device_test.cpp
         ${CMAKE_CURRENT_LIST_DIR}/clock_step_test.cpp ${CMAKE_CURRENT_LIST_DIR}/file_span_test.cpp
         ${CMAKE_CURRENT_LIST_DIR}/storage_sync_test.cpp
         ${CMAKE_CURRENT_LIST_DIR}/terminal_session_test.cpp
         LINK recording_check acc_data_file
         PROGRAMS ${recorder_programs} FAILURE_SHIM_PATH failure_shim
         DISCOVER PROPERTIES TIMEOUT 60)

# A power cut at several moments of a recording on a loop-mounted ext4 image
# (label power_cut; needs root and loop devices, skips where not permitted).
# Where the inspector is built, each file left behind is also checked by it.
if(TARGET acc_inspect)
  list(APPEND recorder_programs INSPECT_PATH acc_inspect)
endif()
acc_test(power_cut_test ${CMAKE_CURRENT_LIST_DIR}/power_cut_test.cpp LINK recording_check
         PROGRAMS ${recorder_programs} DISCOVER PROPERTIES TIMEOUT 120 LABELS power_cut)
