# The "%.6f" formatter: its edge cases, and the differential check against the
# C library (labelled, so a slow emulated run can pick or skip it).
acc_test(fixed6_format_test ${CMAKE_CURRENT_LIST_DIR}/fixed6_format_test.cpp LINK acc_data_file
         DISCOVER TEST_FILTER "-Fixed6Differential.*")
set(fixed6_differential_properties LABELS differential)
if(CMAKE_CROSSCOMPILING_EMULATOR)
  # Emulated, ten million values per case take minutes; a million still
  # reaches every branch.
  list(APPEND fixed6_differential_properties ENVIRONMENT ACC_FORMAT_DIFF_COUNT=1000000)
endif()
gtest_discover_tests(fixed6_format_test TEST_FILTER "Fixed6Differential.*"
                     PROPERTIES ${fixed6_differential_properties})
