# acc_archive's tests, included by tests/CMakeLists.txt: the real program
# end to end on a data directory, and on a small loop-mounted filesystem
# its retention and a power cut at several moments of a compression (label
# power_cut; needs root and loop devices, skips where not permitted). Only
# where the archiver is built (ACC_BUILD_ARCHIVE).
if(NOT TARGET acc_archive)
  return()
endif()

set(archive_programs ARCHIVE_PATH acc_archive FAILURE_SHIM_PATH failure_shim INSPECT_PATH acc_inspect)
acc_test(archive_test ${CMAKE_CURRENT_LIST_DIR}/archive_test.cpp
         ${CMAKE_CURRENT_LIST_DIR}/retention_test.cpp
         LINK program_runner acc_data_file acc_archive_core PROGRAMS ${archive_programs}
         DISCOVER PROPERTIES TIMEOUT 60)
acc_test(archive_loop_test ${CMAKE_CURRENT_LIST_DIR}/archive_loop_test.cpp
         LINK program_runner acc_data_file acc_archive_core PROGRAMS ${archive_programs}
         DISCOVER PROPERTIES TIMEOUT 120 LABELS power_cut)
