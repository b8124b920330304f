# acc_recorder imports the device library's seven functions under their
# plain C names, and nothing else from it: a mangled name or any other symbol
# would not be found in the vendor's library on the board.
#   NM, READELF  for the target
#   RECORDER     the acc_recorder to check
#   LIBRARY      the device library it was linked against
#   FUNCTIONS    the seven names, separated by "|"
include(${CMAKE_CURRENT_LIST_DIR}/board_common.cmake)

function(dynamic_symbols var file which)
  execute_process(COMMAND ${NM} -D ${which} ${file} RESULT_VARIABLE result
                  OUTPUT_VARIABLE listing ERROR_VARIABLE error)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${NM} -D ${which} ${file}: ${error}")
  endif()
  # "<address> T name" or "  U name", with "@VERSION" when versioned.
  string(REGEX MATCHALL "[^ \n]+\n" words "${listing}\n")
  set(names "")
  foreach(word IN LISTS words)
    string(REGEX REPLACE "@.*|\n" "" word "${word}")
    list(APPEND names "${word}")
  endforeach()
  list(SORT names)
  set(${var} "${names}" PARENT_SCOPE)
endfunction()

dynamic_symbols(imported ${RECORDER} --undefined-only)
dynamic_symbols(exported ${LIBRARY} --defined-only)
set(from_library ${imported})
list(FILTER from_library INCLUDE REGEX "ACTS2200")
set(others ${imported})
list(FILTER others EXCLUDE REGEX "ACTS2200")
foreach(name IN LISTS others)
  list(FIND exported "${name}" index)
  if(NOT index EQUAL -1)
    list(APPEND from_library "${name}")
  endif()
endforeach()
list(SORT from_library)

string(REPLACE "|" ";" expected "${FUNCTIONS}")
list(SORT expected)
acc_expect_equal("symbols acc_recorder takes from the device library" "${from_library}" "${expected}")
foreach(name IN LISTS expected)
  list(FIND exported "${name}" index)
  if(index EQUAL -1)
    message(FATAL_ERROR "${LIBRARY} does not export ${name}")
  endif()
endforeach()

acc_dynamic_tag(soname ${LIBRARY} SONAME)
acc_dynamic_tag(needed ${RECORDER} NEEDED)
if(soname)
  list(FIND needed "${soname}" index)
  if(index EQUAL -1)
    message(FATAL_ERROR "acc_recorder does not need ${soname}: ${needed}")
  endif()
endif()
message(STATUS "acc_recorder imports exactly: ${from_library}")
