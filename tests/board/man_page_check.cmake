# The manual pages as man and its index read them: not one message from
# groff at its strictest, a NAME line that lexgrog takes apart as
# "<program> - <what it does>", the project's version in the title line, and
# the inspector's page documenting exactly the options its --help names.
#   PAGES    the pages, separated by "|"
#   VERSION  the project's version
#   INSPECT  acc_inspect, when it is built; and those of board_common.cmake
include(${CMAKE_CURRENT_LIST_DIR}/board_common.cmake)

find_program(groff groff)
find_program(lexgrog lexgrog)
if(NOT groff OR NOT lexgrog)
  message("groff or lexgrog is not installed: skipped")
  return()
endif()

string(REPLACE "|" ";" pages "${PAGES}")
foreach(page IN LISTS pages)
  execute_process(COMMAND ${groff} -man -Tutf8 -ww -z ${page}
                  RESULT_VARIABLE result OUTPUT_VARIABLE messages ERROR_VARIABLE messages)
  if(NOT result EQUAL 0 OR NOT messages STREQUAL "")
    message(FATAL_ERROR "groff on ${page}:\n${messages}")
  endif()
  file(STRINGS ${page} title REGEX "^\\.TH ")
  if(NOT title MATCHES " \"acc_recorder ${VERSION}\" ")
    message(FATAL_ERROR "${page}: the title line names another version than ${VERSION}: ${title}")
  endif()
  get_filename_component(program ${page} NAME_WE)
  execute_process(COMMAND ${lexgrog} ${page} RESULT_VARIABLE result OUTPUT_VARIABLE whatis)
  if(NOT result EQUAL 0 OR NOT whatis MATCHES ": \"${program} - [a-z]")
    message(FATAL_ERROR "lexgrog on ${page}: \"${whatis}\"")
  endif()
endforeach()

if(INSPECT)
  acc_run_target(result help ${INSPECT} ARGS --help)
  acc_expect_equal("acc_inspect --help: exit status" "${result}" 0)
  string(REGEX MATCHALL "--[a-z]+" help_options "${help}")
  list(REMOVE_DUPLICATES help_options)
  list(SORT help_options)
  list(FILTER pages INCLUDE REGEX "/acc_inspect\\.1$")
  file(READ "${pages}" text)
  string(REGEX MATCHALL "\\\\-\\\\-[a-z]+" page_options "${text}")
  list(TRANSFORM page_options REPLACE "\\\\" "")
  list(REMOVE_DUPLICATES page_options)
  list(SORT page_options)
  acc_expect_equal("options in acc_inspect.1" "${page_options}" "${help_options}")
endif()
