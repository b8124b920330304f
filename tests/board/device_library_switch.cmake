# Building against a device library given with ACTS2200_LIBRARY: a copy of
# the simulator in a directory of its own stands in for the vendor's, and the
# board's sensor is another than the default. The recorder must load exactly
# that copy, write into its compiled-in directory with that sensor's
# sensitivity in the provenance, and install without any path into the build.
#   WORK_DIR, LIBRARY (the simulator to copy), and those of nested_build.cmake
#   and board_common.cmake
include(${CMAKE_CURRENT_LIST_DIR}/board_common.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/nested_build.cmake)

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/vendor ${WORK_DIR}/out)
file(COPY_FILE ${LIBRARY} ${WORK_DIR}/vendor/libACTS2200.so)
file(REAL_PATH ${WORK_DIR}/vendor/libACTS2200.so copy)
file(REAL_PATH ${WORK_DIR}/out out_dir)

# The recorder alone, as built here and installed below.
acc_configure_nested(result output ${WORK_DIR}/build ${copy} ${out_dir} -DACC_BUILD_INSPECT=OFF
                     -DACC_BUILD_ARCHIVE=OFF -DACC_SENSITIVITY_MV_PER_G=0100)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "configure against ${copy} failed:\n${output}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/build --target acc_recorder
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "building acc_recorder against ${copy} failed:\n${output}")
endif()
set(recorder ${WORK_DIR}/build/src/acc_recorder)

acc_loaded_library(loaded ${recorder} libACTS2200.so)
acc_expect_equal("the device library acc_recorder loads" "${loaded}" "${copy}")

# One byte on standard input: the key that stops it before the first read.
file(WRITE ${WORK_DIR}/key "q")
acc_run_target(result output ${recorder} INPUT ${WORK_DIR}/key)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "acc_recorder exited with ${result}:\n${output}")
endif()
string(REGEX MATCH "Done\\. Data saved to ([^\n]*)\n" done "${output}")
if(NOT done)
  message(FATAL_ERROR "no \"Done.\" line:\n${output}")
endif()
set(saved "${CMAKE_MATCH_1}")
get_filename_component(saved_dir "${saved}" DIRECTORY)
get_filename_component(saved_name "${saved}" NAME)
acc_expect_equal("directory written into" "${saved_dir}" "${out_dir}")
set(d "[0-9]")  # CMake's expressions have no {n}
if(NOT saved_name MATCHES "^ai0_accel_${d}${d}${d}${d}${d}${d}${d}${d}_${d}${d}${d}${d}${d}${d}\\.csv$"
   OR NOT EXISTS "${saved}")
  message(FATAL_ERROR "no data file ${saved}:\n${output}")
endif()
string(REGEX REPLACE "\\.csv$" ".json" provenance "${saved}")
file(READ ${provenance} provenance_text)
string(FIND "${provenance_text}" "\"sensitivity_mv_per_g\": 100.0," found)
if(found EQUAL -1)
  message(FATAL_ERROR "${provenance} does not record 100 mV/g:\n${provenance_text}")
endif()

# Installed, it finds the vendor's library where the system's loader does.
execute_process(COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${WORK_DIR}/stage
                        ${CMAKE_COMMAND} --install ${WORK_DIR}/build --prefix /usr/local
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "install failed:\n${output}")
endif()
set(installed ${WORK_DIR}/stage/usr/local/bin/acc_recorder)
if(NOT EXISTS ${installed})
  message(FATAL_ERROR "not installed: ${installed}")
endif()
file(GLOB_RECURSE simulators ${WORK_DIR}/stage/*libACTS2200*)
acc_expect_equal("device libraries installed along" "${simulators}" "")
acc_dynamic_tag(runpath ${installed} RUNPATH)
acc_dynamic_tag(rpath ${installed} RPATH)
acc_expect_equal("installed RUNPATH" "${runpath}" "")
acc_expect_equal("installed RPATH" "${rpath}" "")

file(REMOVE_RECURSE ${WORK_DIR})
