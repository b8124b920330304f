# acc_inspect's benchmark; include()d from bench/CMakeLists.txt. Only where the
# inspector is built (ACC_BUILD_INSPECT).
if(NOT TARGET acc_inspect)
  return()
endif()
if(NOT TARGET benchmark::benchmark_main)
  find_package(benchmark REQUIRED)
endif()
add_executable(inspect_bench ${CMAKE_CURRENT_LIST_DIR}/inspect_bench.cpp)
target_link_libraries(inspect_bench PRIVATE acc_inspect_core acc_data_file benchmark::benchmark_main)
