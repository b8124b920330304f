# ACC_FILE_SPAN_S, checked before anything is built: 0 records one file per
# run; any other value starts a new file at every multiple of that many
# seconds from local midnight, so it must be whole seconds that divide a day.
# Sets ACC_FILE_SPAN_S_CLEAN, the value without leading zeros.
# One string: set() with several would join them with ";".
string(CONCAT acc_span_refused "ACC_FILE_SPAN_S must be 0 (one file per run) or a whole number of "
                               "seconds that divides a day (86400 s), such as 600, 3600 or 86400")
if(NOT ACC_FILE_SPAN_S MATCHES "^[0-9]+$")
  message(FATAL_ERROR "${acc_span_refused}; \"${ACC_FILE_SPAN_S}\" is not a whole number")
endif()
# A match, not a replace: REGEX REPLACE applies "^" again after each match
# and would make 0600 into 60.
string(REGEX MATCH "^0*([0-9]+)$" acc_span_match "${ACC_FILE_SPAN_S}")
set(ACC_FILE_SPAN_S_CLEAN "${CMAKE_MATCH_1}")
string(LENGTH "${ACC_FILE_SPAN_S_CLEAN}" acc_span_digits)
if(acc_span_digits GREATER 5 OR ACC_FILE_SPAN_S_CLEAN GREATER 86400)
  message(FATAL_ERROR "${acc_span_refused}; ${ACC_FILE_SPAN_S} is longer than a day")
endif()
if(NOT ACC_FILE_SPAN_S_CLEAN EQUAL 0)
  math(EXPR acc_span_rest "86400 % ${ACC_FILE_SPAN_S_CLEAN}")
  if(NOT acc_span_rest EQUAL 0)
    message(FATAL_ERROR "${acc_span_refused}; ${ACC_FILE_SPAN_S} does not divide it")
  endif()
endif()
