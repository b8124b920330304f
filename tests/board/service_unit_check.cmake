# The example systemd unit passes "systemd-analyze verify" without a single
# remark (it returns 0 even for unknown keys and bad values, which systemd
# then ignores). Its ExecStart must name an executable: the built program
# (RECORDER, the recorder or another) stands in for the installed one.
#   UNIT, RECORDER, WORK_DIR
#   DROP_IN  a drop-in, verified as part of UNIT (optional)
#   ALSO     units verified along with it, "|"-separated (optional)
find_program(systemd_analyze systemd-analyze)
if(NOT systemd_analyze)
  message("systemd-analyze is not installed: skipped")
  return()  # SKIP_REGULAR_EXPRESSION
endif()
file(READ ${UNIT} unit)
string(REGEX MATCH "\nExecStart=([^ \n]*)" exec_start "${unit}")
if(NOT exec_start)
  message(FATAL_ERROR "${UNIT} has no ExecStart")
endif()
string(REPLACE "${exec_start}" "\nExecStart=${RECORDER}" unit "${unit}")
if(DROP_IN)
  file(READ ${DROP_IN} drop_in)
  string(APPEND unit "\n${drop_in}")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
get_filename_component(name ${UNIT} NAME)
file(WRITE ${WORK_DIR}/${name} "${unit}")
set(units ${WORK_DIR}/${name})
string(REPLACE "|" ";" also "${ALSO}")
foreach(other IN LISTS also)
  file(COPY ${other} DESTINATION ${WORK_DIR})
  get_filename_component(other_name ${other} NAME)
  list(APPEND units ${WORK_DIR}/${other_name})
endforeach()
execute_process(COMMAND ${systemd_analyze} verify --man=no ${units}
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0 OR NOT output STREQUAL "")
  message(FATAL_ERROR "systemd-analyze verify ${name} (status ${result}):\n${output}")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
