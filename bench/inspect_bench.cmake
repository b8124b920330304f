# acc_inspect's benchmark; include()d from bench/CMakeLists.txt. Only where the
# inspector and the archiver, which compresses its run of files, are built.
if(NOT TARGET acc_inspect OR NOT TARGET acc_archive_core)
  return()
endif()
if(NOT TARGET benchmark::benchmark_main)
  find_package(benchmark REQUIRED)
endif()
add_executable(inspect_bench ${CMAKE_CURRENT_LIST_DIR}/inspect_bench.cpp)
target_link_libraries(inspect_bench PRIVATE acc_inspect_core acc_archive_core acc_data_file
                                            benchmark::benchmark_main)
