# The configure refuses an ACC_OUT_DIR whose longest data file path does not
# fit the recorder's path buffer, or that the build could not compile in as
# written, each with a message that says why; the longest that fits passes.
#   WORK_DIR, and those of nested_build.cmake
include(${CMAKE_CURRENT_LIST_DIR}/nested_build.cmake)

# 477 bytes: with "/ai0_accel_YYYYMMDD_HHMMSS_999.csv" and its terminating
# zero, exactly the 512 bytes of the path buffer.
string(REPEAT "d" 476 longest_fitting)
string(PREPEND longest_fitting "/")
acc_configure_nested(result output ${WORK_DIR}/build "" "${longest_fitting}")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "configure refused a ${longest_fitting} of 477 bytes:\n${output}")
endif()

# Configured again in the same tree, which already knows its compiler.
function(expect_refused value expected)
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/build
                          "-DACC_OUT_DIR=${value}"
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  # CMake wraps long messages.
  string(REGEX REPLACE "[ \n]+" " " flat "${output}")
  string(FIND "${flat}" "${expected}" found)
  if(result EQUAL 0 OR found EQUAL -1)
    message(FATAL_ERROR "ACC_OUT_DIR \"${value}\": expected a refusal saying \"${expected}\":\n${output}")
  endif()
endfunction()

expect_refused("${longest_fitting}d" "ACC_OUT_DIR is too long: 478 bytes, with room for at most 477")
expect_refused("${longest_fitting}d/" "ACC_OUT_DIR is too long: 478 bytes")
expect_refused("/home/pi/\"data\"" "must not contain a double quote or a backslash")
expect_refused("/home/pi/a\\tb" "must not contain a double quote or a backslash")
string(ASCII 9 tab)
expect_refused("/home/pi/a${tab}b" "must not contain control characters (it contains character code 9")
string(ASCII 59 semicolon)
expect_refused("/home/pi/a${semicolon}b" "must not contain \"${semicolon}\"")
expect_refused("/home/pi/a#b" "must not contain \"#\"")
expect_refused("/home/pi/a$(HOME)b" "must not contain \"$(\"")

# The file span: whole seconds that divide a day, or 0; the sensitivity: a
# decimal number above 0. Each refusal is one sentence, without CMake's ";".
function(expect_switch_refused switch value expected)
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/build
                          "-DACC_OUT_DIR=/d" "-DACC_FILE_SPAN_S=0" "-DACC_SENSITIVITY_MV_PER_G=500"
                          "-D${switch}=${value}"
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  string(REGEX REPLACE "[ \n]+" " " flat "${output}")
  string(FIND "${flat}" "${expected}" found)
  if(result EQUAL 0 OR found EQUAL -1)
    message(FATAL_ERROR "${switch} \"${value}\": expected a refusal saying \"${expected}\":\n${output}")
  endif()
endfunction()
expect_switch_refused(ACC_FILE_SPAN_S "7" "a whole number of seconds that divides a day (86400 s), such as 600, 3600 or 86400; 7 does not divide it")
expect_switch_refused(ACC_FILE_SPAN_S "1.5" "\"1.5\" is not a whole number")
expect_switch_refused(ACC_FILE_SPAN_S "-60" "\"-60\" is not a whole number")
expect_switch_refused(ACC_FILE_SPAN_S "172800" "172800 is longer than a day")
expect_switch_refused(ACC_FILE_SPAN_S "06000" "06000 does not divide it")
expect_switch_refused(ACC_SENSITIVITY_MV_PER_G "0.000" "such as 500, 100 or 10.2; 0.000 is not above 0")
expect_switch_refused(ACC_SENSITIVITY_MV_PER_G "-100" "\"-100\" is not a decimal number")
expect_switch_refused(ACC_SENSITIVITY_MV_PER_G "inf" "\"inf\" is not a decimal number")
expect_switch_refused(ACC_SENSITIVITY_MV_PER_G "1e3" "\"1e3\" is not a decimal number")
expect_switch_refused(ACC_SENSITIVITY_MV_PER_G "1000000" "1000000 is not below it")
file(REMOVE_RECURSE ${WORK_DIR})
