# Checks for the board, included by tests/CMakeLists.txt: how acc_recorder
# links its device library, what it installs, and the example systemd unit.
# They run on this machine with its own tools (nm, readelf, cmake, under qemu
# when cross-built) and are labelled "board".
include(${PROJECT_SOURCE_DIR}/cmake/device_library.cmake)

set(board_dir ${CMAKE_CURRENT_LIST_DIR}/board)
string(REPLACE ";" "|" board_emulator "${CMAKE_CROSSCOMPILING_EMULATOR}")
string(REPLACE ";" "|" board_functions "${ACC_DEVICE_FUNCTIONS}")
set(board_tools -DEMULATOR=${board_emulator} -DREADELF=${CMAKE_READELF})
set(board_nested -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DGENERATOR=${CMAKE_GENERATOR}
                 -DMAKE_PROGRAM=${CMAKE_MAKE_PROGRAM} -DTOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}
                 -DCXX_COMPILER=${CMAKE_CXX_COMPILER} "-DCXX_FLAGS=${CMAKE_CXX_FLAGS}"
                 "-DEXE_LINKER_FLAGS=${CMAKE_EXE_LINKER_FLAGS}")

# The simulator less one function, for the configure to refuse.
add_library(acts2200_sim_without_stop SHARED $<TARGET_OBJECTS:acts2200_sim_objects>)
set_target_properties(acts2200_sim_without_stop PROPERTIES OUTPUT_NAME ACTS2200
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/without_stop)
target_link_libraries(acts2200_sim_without_stop PRIVATE acc_sim_signal)
target_link_options(acts2200_sim_without_stop PRIVATE
                    "LINKER:--version-script=${board_dir}/without_stop_task.map")

if(ACTS2200_LIBRARY)
  set(board_device_library ${ACTS2200_LIBRARY})
else()
  set(board_device_library $<TARGET_FILE:acts2200_sim>)
endif()

add_test(NAME board.recorder_imports_only_the_device_functions
         COMMAND ${CMAKE_COMMAND} ${board_tools} -DNM=${CMAKE_NM}
                 -DRECORDER=$<TARGET_FILE:acc_recorder>
                 -DLIBRARY=${board_device_library} -DFUNCTIONS=${board_functions}
                 -P ${board_dir}/imports_check.cmake)

add_test(NAME board.device_library_switch_loads_the_given_copy
         COMMAND ${CMAKE_COMMAND} ${board_tools} ${board_nested}
                 -DLIBRARY=$<TARGET_FILE:acts2200_sim>
                 -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/board_switch
                 -P ${board_dir}/device_library_switch.cmake)

add_test(NAME board.device_library_missing_a_function_fails_configure
         COMMAND ${CMAKE_COMMAND} ${board_nested}
                 -DLIBRARY=$<TARGET_FILE:acts2200_sim_without_stop>
                 -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/board_missing
                 -P ${board_dir}/device_library_missing.cmake)

add_test(NAME board.install_layout
         COMMAND ${CMAKE_COMMAND} ${board_tools} -DBUILD_DIR=${CMAKE_BINARY_DIR}
                 -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DREAL_LIBRARY=${ACTS2200_LIBRARY}
                 -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/board_install
                 -P ${board_dir}/install_layout.cmake)

set(board_man_pages ${PROJECT_SOURCE_DIR}/man/acc_recorder.1
                    ${PROJECT_SOURCE_DIR}/man/acc_recorder_build.7)
set(board_inspector "")
if(TARGET acc_inspect)
  list(APPEND board_man_pages ${PROJECT_SOURCE_DIR}/man/acc_inspect.1)
  set(board_inspector $<TARGET_FILE:acc_inspect>)
endif()
if(TARGET acc_archive)
  list(APPEND board_man_pages ${PROJECT_SOURCE_DIR}/man/acc_summary.5)
endif()
string(REPLACE ";" "|" board_man_pages "${board_man_pages}")
add_test(NAME board.man_pages_format_cleanly
         COMMAND ${CMAKE_COMMAND} ${board_tools} -DPAGES=${board_man_pages}
                 -DVERSION=${PROJECT_VERSION} -DINSPECT=${board_inspector}
                 -P ${board_dir}/man_page_check.cmake)
set_tests_properties(board.man_pages_format_cleanly PROPERTIES
                     SKIP_REGULAR_EXPRESSION "is not installed: skipped")

add_test(NAME board.service_unit_verifies
         COMMAND ${CMAKE_COMMAND} -DUNIT=${PROJECT_SOURCE_DIR}/deploy/acc-recorder.service
                 -DRECORDER=$<TARGET_FILE:acc_recorder>
                 -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/board_unit
                 -P ${board_dir}/service_unit_check.cmake)
set_tests_properties(board.service_unit_verifies PROPERTIES
                     SKIP_REGULAR_EXPRESSION "systemd-analyze is not installed: skipped")
if(TARGET acc_archive)
  # The archiver's service with its timer, and the recorder's unit with the
  # restart after a full disk that goes with retention.
  add_test(NAME board.archive_units_verify
           COMMAND ${CMAKE_COMMAND} -DUNIT=${PROJECT_SOURCE_DIR}/deploy/acc-archive.service
                   -DRECORDER=$<TARGET_FILE:acc_archive>
                   -DALSO=${PROJECT_SOURCE_DIR}/deploy/acc-archive.timer
                   -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/board_archive_unit
                   -P ${board_dir}/service_unit_check.cmake)
  add_test(NAME board.recorder_restart_drop_in_verifies
           COMMAND ${CMAKE_COMMAND} -DUNIT=${PROJECT_SOURCE_DIR}/deploy/acc-recorder.service
                   -DRECORDER=$<TARGET_FILE:acc_recorder>
                   -DDROP_IN=${PROJECT_SOURCE_DIR}/deploy/restart-after-full-disk.conf
                   -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/board_restart_unit
                   -P ${board_dir}/service_unit_check.cmake)
  set_tests_properties(board.archive_units_verify board.recorder_restart_drop_in_verifies
                       PROPERTIES LABELS board
                       SKIP_REGULAR_EXPRESSION "systemd-analyze is not installed: skipped")
endif()

if(TARGET acc_inspect)
  # Where this build found FFTW, for the nested configure to look away from.
  if(FFTW3_INCLUDEDIR)
    set(board_fftw_dirs ${FFTW3_INCLUDEDIR} ${FFTW3_LIBDIR})
  else()
    get_filename_component(board_fftw_lib_dir ${ACC_FFTW3_LIBRARY_FILE} DIRECTORY)
    set(board_fftw_dirs ${ACC_FFTW3_INCLUDE_DIR} ${board_fftw_lib_dir})
  endif()
  string(REPLACE ";" "|" board_fftw_dirs "${board_fftw_dirs}")
  add_test(NAME board.recorder_configures_without_fftw
           COMMAND ${CMAKE_COMMAND} ${board_nested} -DFFTW_DIRS=${board_fftw_dirs}
                   -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/board_no_fftw
                   -P ${board_dir}/without_fftw.cmake)
  set_tests_properties(board.recorder_configures_without_fftw PROPERTIES LABELS board)
  # The follower's service, the built inspector standing in.
  add_test(NAME board.follow_unit_verifies
           COMMAND ${CMAKE_COMMAND} -DUNIT=${PROJECT_SOURCE_DIR}/deploy/acc-follow.service
                   -DRECORDER=$<TARGET_FILE:acc_inspect>
                   -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/board_follow_unit
                   -P ${board_dir}/service_unit_check.cmake)
  set_tests_properties(board.follow_unit_verifies PROPERTIES LABELS board
                       SKIP_REGULAR_EXPRESSION "systemd-analyze is not installed: skipped")
endif()

# The nested builds compile the recorder again, cross-compiled or not.
set_tests_properties(board.device_library_switch_loads_the_given_copy
                     board.device_library_missing_a_function_fails_configure
                     PROPERTIES TIMEOUT 600)
set_tests_properties(board.recorder_imports_only_the_device_functions
                     board.device_library_switch_loads_the_given_copy
                     board.device_library_missing_a_function_fails_configure
                     board.install_layout board.man_pages_format_cleanly
                     board.service_unit_verifies PROPERTIES LABELS board)

# The unit's stop path on the real recorder.
acc_test(service_stop_test ${CMAKE_CURRENT_LIST_DIR}/service_stop_test.cpp LINK recording_check
         PROGRAMS RECORDER_PATH acc_recorder_for_tests DISCOVER PROPERTIES TIMEOUT 60)
target_compile_definitions(service_stop_test PRIVATE
  UNIT_PATH="${PROJECT_SOURCE_DIR}/deploy/acc-recorder.service")

add_test(NAME board.out_dir_refused_unless_it_fits_as_written
         COMMAND ${CMAKE_COMMAND} ${board_nested}
                 -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/board_out_dir
                 -P ${board_dir}/out_dir_check.cmake)
set_tests_properties(board.out_dir_refused_unless_it_fits_as_written PROPERTIES
                     TIMEOUT 300 LABELS board)
