# acc_archive's benchmark; include()d from bench/CMakeLists.txt. Only where the
# archiver is built (ACC_BUILD_ARCHIVE).
if(NOT TARGET acc_archive)
  return()
endif()
if(NOT TARGET benchmark::benchmark)
  find_package(benchmark REQUIRED)
endif()
add_executable(archive_bench ${CMAKE_CURRENT_LIST_DIR}/archive_bench.cpp)
target_link_libraries(archive_bench PRIVATE acc_archive_core acc_data_file acc_sim_signal
                                            benchmark::benchmark)
