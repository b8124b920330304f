# Helpers for the board checks, which run with "cmake -P".
#   EMULATOR  how this machine runs the target's programs, words separated by
#             "|" (qemu when cross-built); empty when they run natively
#   READELF   readelf for the target

string(REPLACE "|" ";" acc_emulator "${EMULATOR}")

# acc_run_target(<result var> <output var> <program> [INPUT <file>] [ENV <name=value>...]
#                [ARGS <argument>...])
# Runs a program built for the target; stdout and stderr together.
function(acc_run_target result_var output_var program)
  cmake_parse_arguments(PARSE_ARGV 3 run "" "INPUT" "ENV;ARGS")
  if(NOT run_INPUT)
    set(run_INPUT /dev/null)
  endif()
  if(acc_emulator)
    # For the emulated program, not for the emulator's own loader.
    set(command ${acc_emulator})
    foreach(entry IN LISTS run_ENV)
      list(APPEND command -E ${entry})
    endforeach()
  else()
    set(command ${CMAKE_COMMAND} -E env ${run_ENV})
  endif()
  execute_process(COMMAND ${command} ${program} ${run_ARGS} INPUT_FILE ${run_INPUT}
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  set(${result_var} "${result}" PARENT_SCOPE)
  set(${output_var} "${output}" PARENT_SCOPE)
endfunction()

# acc_loaded_library(<var> <program> <soname>): the file the target's loader
# loads for <soname> when it starts <program> (what ldd shows), as a real path.
function(acc_loaded_library var program soname)
  acc_run_target(result listing ${program} ENV LD_TRACE_LOADED_OBJECTS=1)
  string(REGEX MATCH "[\t ]${soname} => ([^ \n]+)" found "${listing}")
  if(NOT found)
    message(FATAL_ERROR "The loader does not load ${soname} for ${program}:\n${listing}")
  endif()
  file(REAL_PATH "${CMAKE_MATCH_1}" path)
  set(${var} "${path}" PARENT_SCOPE)
endfunction()

# acc_dynamic_tag(<var> <file> <tag>): the values of one dynamic-section tag
# (NEEDED, SONAME, RUNPATH, RPATH), as a list.
function(acc_dynamic_tag var file tag)
  execute_process(COMMAND ${READELF} -d ${file} RESULT_VARIABLE result
                  OUTPUT_VARIABLE section ERROR_VARIABLE error)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${READELF} -d ${file}: ${error}")
  endif()
  string(REGEX MATCHALL "\\(${tag}\\)[^\n]*\\[[^]\n]*\\]" lines "${section}")
  set(values "")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE ".*\\[(.*)\\]" "\\1" value "${line}")
    list(APPEND values "${value}")
  endforeach()
  set(${var} "${values}" PARENT_SCOPE)
endfunction()

function(acc_expect_equal what actual expected)
  if(NOT "${actual}" STREQUAL "${expected}")
    message(FATAL_ERROR "${what}: \"${actual}\", expected \"${expected}\"")
  endif()
endfunction()
