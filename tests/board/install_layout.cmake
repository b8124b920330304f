# "cmake --install" of this build into a staging directory: the recorder in
# bin/; the simulator, when it is the recorder's device library, only in
# lib/acc_recorder/ where no loader looks, found through the recorder's
# RUNPATH relative to itself; the manual pages; and the installed pair runs.
#   BUILD_DIR, SOURCE_DIR, WORK_DIR, REAL_LIBRARY (ACTS2200_LIBRARY: empty for
#   the simulator), and those of board_common.cmake
include(${CMAKE_CURRENT_LIST_DIR}/board_common.cmake)

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/stage/opt/acc)
execute_process(COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${WORK_DIR}/stage
                        ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix /opt/acc
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "install failed:\n${output}")
endif()
set(recorder ${prefix}/bin/acc_recorder)
if(NOT EXISTS ${recorder})
  message(FATAL_ERROR "not installed: ${recorder}")
endif()

# Every installed program has its manual page and every page its program;
# each page is its source as "gzip -9n" compresses it (no name, no time
# stamp, best compression), as Debian wants it.
file(GLOB programs RELATIVE ${prefix}/bin ${prefix}/bin/*)
list(TRANSFORM programs APPEND .1.gz OUTPUT_VARIABLE expected_pages)
set(man_dir ${prefix}/share/man/man1)
file(GLOB pages RELATIVE ${man_dir} ${man_dir}/*)
acc_expect_equal("manual pages in share/man/man1" "${pages}" "${expected_pages}")
foreach(page IN LISTS pages)
  file(READ ${man_dir}/${page} header HEX LIMIT 9)
  acc_expect_equal("${page}: gzip header" "${header}" "1f8b08000000000002")
  execute_process(COMMAND gzip -dc ${man_dir}/${page} OUTPUT_VARIABLE text RESULT_VARIABLE result)
  string(REGEX REPLACE "\\.gz$" "" source_name "${page}")
  file(READ ${SOURCE_DIR}/man/${source_name} source)
  if(NOT result EQUAL 0 OR NOT text STREQUAL source)
    message(FATAL_ERROR "${page} is not man/${source_name} compressed")
  endif()
endforeach()

file(GLOB_RECURSE simulators ${WORK_DIR}/stage/*libACTS2200*)
acc_dynamic_tag(runpath ${recorder} RUNPATH)
acc_dynamic_tag(rpath ${recorder} RPATH)
acc_expect_equal("installed RPATH" "${rpath}" "")

if(REAL_LIBRARY)
  acc_expect_equal("device libraries installed along" "${simulators}" "")
  acc_expect_equal("installed RUNPATH" "${runpath}" "")
else()
  set(simulator ${prefix}/lib/acc_recorder/libACTS2200.so)
  acc_expect_equal("device libraries installed" "${simulators}" "${simulator}")
  acc_expect_equal("installed RUNPATH" "${runpath}" "$ORIGIN/../lib/acc_recorder")
  acc_loaded_library(loaded ${recorder} libACTS2200.so)
  acc_expect_equal("the device library the installed recorder loads" "${loaded}" "${simulator}")

  # Refused by the device before any file is opened: nothing is written
  # into the compiled-in directory, and the installed simulator's log shows
  # that it answered.
  acc_run_target(result output ${recorder}
                 ENV ACTS2200_SIM_FAIL=start ACTS2200_SIM_LOG=${WORK_DIR}/device.log)
  acc_expect_equal("exit status" "${result}" 253)
  acc_expect_equal("output" "${output}" "Opening device...\nAI_StartTask failed\n")
  file(STRINGS ${WORK_DIR}/device.log log_lines REGEX "^DEV_Create ")
  if(NOT log_lines)
    message(FATAL_ERROR "the installed simulator logged no DEV_Create")
  endif()
endif()
file(REMOVE_RECURSE ${WORK_DIR})
