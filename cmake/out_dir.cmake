# ACC_OUT_DIR, checked before anything is built. The recorder compiles it in
# as a string literal, passed on the compiler's command line, and forms each
# data file's path in a buffer of fixed size: a value that would not reach
# the program as written, or whose longest file name would not fit, is
# refused here rather than cut short or mangled at run time. Sets
# ACC_OUT_DIR_CLEAN, the value without trailing slashes.

string(REGEX REPLACE "/+$" "" ACC_OUT_DIR_CLEAN "${ACC_OUT_DIR}")
if(ACC_OUT_DIR_CLEAN STREQUAL "")
  message(FATAL_ERROR "ACC_OUT_DIR must name a directory")
endif()

# Characters a C++ string literal reads as something else.
if(ACC_OUT_DIR MATCHES "[\"\\]")
  message(FATAL_ERROR "ACC_OUT_DIR must not contain a double quote or a backslash: the recorder "
                      "compiles the directory in as a string, where these would not stay as written")
endif()
foreach(code RANGE 1 127)
  if(code GREATER 31 AND code LESS 127)
    continue()
  endif()
  string(ASCII ${code} control)
  string(FIND "${ACC_OUT_DIR}" "${control}" found)
  if(NOT found EQUAL -1)
    message(FATAL_ERROR "ACC_OUT_DIR must not contain control characters (it contains character "
                        "code ${code}, such as a tab or a line end): the recorder compiles the "
                        "directory in as a string, where these would not stay as written")
  endif()
endforeach()
# What the build tools themselves take apart: a list separator for CMake, a
# comment for make and ninja, a variable reference for both.
foreach(piece ";" "#" "$(")
  string(FIND "${ACC_OUT_DIR}" "${piece}" found)
  if(NOT found EQUAL -1)
    message(FATAL_ERROR "ACC_OUT_DIR must not contain \"${piece}\": the build tools would not "
                        "pass the directory on to the compiler as written")
  endif()
endforeach()

# The longest name the recorder forms: the last numbered variant.
file(READ ${CMAKE_CURRENT_LIST_DIR}/../src/data_file.h acc_data_file_h)
string(REGEX MATCH "constexpr std::size_t csv_path_size = ([0-9]+);" found "${acc_data_file_h}")
set(acc_path_size "${CMAKE_MATCH_1}")
file(READ ${CMAKE_CURRENT_LIST_DIR}/../common/data_file_name.h acc_data_file_name_h)
string(REGEX MATCH "constexpr unsigned max_name_suffix = ([0-9]+);" found "${acc_data_file_name_h}")
set(acc_max_suffix "${CMAKE_MATCH_1}")
if(acc_path_size STREQUAL "" OR acc_max_suffix STREQUAL "")
  message(FATAL_ERROR "src/data_file.h no longer declares csv_path_size or "
                      "common/data_file_name.h max_name_suffix")
endif()
set(acc_longest_name "ai0_accel_YYYYMMDD_HHMMSS_${acc_max_suffix}.csv")
string(LENGTH "${ACC_OUT_DIR_CLEAN}/${acc_longest_name}" acc_longest_length)
if(acc_longest_length GREATER_EQUAL acc_path_size)
  string(LENGTH "${ACC_OUT_DIR_CLEAN}" acc_dir_length)
  string(LENGTH "/${acc_longest_name}" acc_name_length)
  math(EXPR acc_dir_limit "${acc_path_size} - 1 - ${acc_name_length}")
  message(FATAL_ERROR "ACC_OUT_DIR is too long: ${acc_dir_length} bytes, with room for at most "
                      "${acc_dir_limit}. The longest data file path, <ACC_OUT_DIR>/"
                      "${acc_longest_name}, must fit the recorder's ${acc_path_size}-byte path "
                      "buffer with its terminating zero")
endif()
