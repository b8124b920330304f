# acc_archive's tests, included by tests/CMakeLists.txt: the real program
# end to end on a data directory, and on a small loop-mounted filesystem
# its retention and a power cut at several moments of a compression (label
# power_cut; needs root and loop devices, skips where not permitted). Only
# where the archiver is built (ACC_BUILD_ARCHIVE).
if(NOT TARGET acc_archive)
  return()
endif()

add_executable(archive_test ${CMAKE_CURRENT_LIST_DIR}/archive_test.cpp
                            ${CMAKE_CURRENT_LIST_DIR}/retention_test.cpp)
target_link_libraries(archive_test PRIVATE program_runner acc_data_file acc_archive_core
                                           GTest::gtest_main)
target_compile_definitions(archive_test PRIVATE ARCHIVE_PATH="$<TARGET_FILE:acc_archive>"
  FAILURE_SHIM_PATH="$<TARGET_FILE:failure_shim>")
add_dependencies(archive_test acc_archive failure_shim)
gtest_discover_tests(archive_test PROPERTIES TIMEOUT 60)

add_executable(archive_loop_test ${CMAKE_CURRENT_LIST_DIR}/archive_loop_test.cpp)
target_link_libraries(archive_loop_test PRIVATE program_runner acc_data_file acc_archive_core
                                                GTest::gtest_main)
target_compile_definitions(archive_loop_test PRIVATE ARCHIVE_PATH="$<TARGET_FILE:acc_archive>"
  FAILURE_SHIM_PATH="$<TARGET_FILE:failure_shim>")
add_dependencies(archive_loop_test acc_archive failure_shim)
gtest_discover_tests(archive_loop_test PROPERTIES TIMEOUT 120 LABELS power_cut)
