# acc_inspect's tests, included by tests/CMakeLists.txt: its parts on data
# made in the test, the real program on good and bad files, and the real
# recorder's files end to end. With ACC_BUILD_FUZZ (clang only) also a
# bounded fuzzing run of the row parser and the reader. Only where the
# inspector is built (ACC_BUILD_INSPECT).
if(NOT TARGET acc_inspect)
  return()
endif()

# The pictures read back: the SVG's elements, the PNG images in and of it.
find_package(ZLIB REQUIRED)
find_package(LibXml2 REQUIRED)  # Debian: libxml2-dev

acc_test(inspect_test ${CMAKE_CURRENT_LIST_DIR}/inspect_test.cpp
         LINK acc_inspect_core acc_data_file ZLIB::ZLIB LibXml2::LibXml2)
# acc_inspect_core for libzstd, to write the compressed parts of a run.
acc_test(inspect_cli_test ${CMAKE_CURRENT_LIST_DIR}/inspect_cli_test.cpp
         ${CMAKE_CURRENT_LIST_DIR}/run_plan_test.cpp
         LINK program_runner acc_data_file acc_inspect_core ZLIB::ZLIB LibXml2::LibXml2
         PROGRAMS INSPECT_PATH acc_inspect FAILURE_SHIM_PATH failure_shim
         DISCOVER PROPERTIES TIMEOUT 60)

# --follow on the real recorder with a file span, and its .prom file read by
# the real node exporter where it is installed.
acc_test(follow_test ${CMAKE_CURRENT_LIST_DIR}/follow_test.cpp
         LINK acc_inspect_core recording_check acc_data_file
         PROGRAMS INSPECT_PATH acc_inspect RECORDER_PATH acc_recorder_for_tests
                  SPAN_RECORDER_PATH acc_recorder_span_for_tests
         DISCOVER PROPERTIES TIMEOUT 60)

# The figures against NumPy and SciPy; skipped where they are not installed.
acc_test(inspect_reference_test ${CMAKE_CURRENT_LIST_DIR}/inspect_reference_test.cpp
         LINK program_runner acc_data_file PROGRAMS INSPECT_PATH acc_inspect
         DISCOVER PROPERTIES TIMEOUT 120)
target_compile_definitions(inspect_reference_test PRIVATE
  REFERENCE_SCRIPT="${CMAKE_CURRENT_LIST_DIR}/inspect_reference.py")

option(ACC_BUILD_FUZZ "Build the libFuzzer target for acc_inspect's row parser (clang only)" OFF)
if(ACC_BUILD_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(WARNING "ACC_BUILD_FUZZ needs clang; the fuzzer is not built with ${CMAKE_CXX_COMPILER_ID}")
  else()
    # The inspector's own library, built in this configuration with the
    # coverage the fuzzer steers by and the sanitizers; whatever links it
    # gets their runtime.
    set(inspect_sanitizers address,undefined -fno-sanitize-recover=all)
    target_compile_options(acc_inspect_core PRIVATE -fsanitize=fuzzer-no-link,${inspect_sanitizers})
    target_link_options(acc_inspect_core INTERFACE -fsanitize=${inspect_sanitizers})
    add_executable(inspect_row_fuzz ${CMAKE_CURRENT_LIST_DIR}/fuzz/inspect_row_fuzz.cpp)
    target_compile_options(inspect_row_fuzz PRIVATE -fsanitize=fuzzer,${inspect_sanitizers} -g -O1)
    target_link_options(inspect_row_fuzz PRIVATE -fsanitize=fuzzer)
    target_link_libraries(inspect_row_fuzz PRIVATE acc_inspect_core)
    # Seeds: a valid file and a few near misses; the run adds what it finds.
    set(inspect_corpus ${CMAKE_CURRENT_BINARY_DIR}/inspect_row_corpus)
    file(MAKE_DIRECTORY ${inspect_corpus})
    file(WRITE ${inspect_corpus}/valid "Time(s),Volt(V),Accel(g),Accel(m/s^2)\n0.100000,0.512345,1.024690,10.048694\n0.100100,-0.000001,-0.000002,-0.000020\n")
    file(WRITE ${inspect_corpus}/special "Time(s),Volt(V),Accel(g),Accel(m/s^2)\n0.100000,nan,-nan,inf\n-inf,0.500000,1.000000,9.806650")
    file(WRITE ${inspect_corpus}/faults "0.100000,0.51234,1e-3,+1.000000\r\n")
    add_test(NAME inspect_row_fuzz
             COMMAND inspect_row_fuzz -max_total_time=20 -timeout=10 -rss_limit_mb=1024 ${inspect_corpus})
    set_tests_properties(inspect_row_fuzz PROPERTIES TIMEOUT 120 LABELS fuzz)
  endif()
endif()
