# ACC_SENSITIVITY_MV_PER_G, checked before anything is built: the sensor's
# sensitivity in mV per g, compiled into the recorder's settings and the
# inspector's check of the g columns. A plain decimal number, so that it is
# finite and reaches the compiler as written. Empty stands for the default,
# so that a preset can pass on an environment variable that is not set.
# Sets ACC_SENSITIVITY_MV_PER_G_CLEAN, the value without leading zeros.
if(ACC_SENSITIVITY_MV_PER_G STREQUAL "")
  set(ACC_SENSITIVITY_MV_PER_G 500)
endif()
string(CONCAT acc_sensitivity_refused
       "ACC_SENSITIVITY_MV_PER_G must be the sensor's sensitivity in mV/g, a decimal number above "
       "0 and below 1000000, such as 500, 100 or 10.2")
if(NOT ACC_SENSITIVITY_MV_PER_G MATCHES "^([0-9]+)(\\.[0-9]+)?$")
  message(FATAL_ERROR "${acc_sensitivity_refused}; \"${ACC_SENSITIVITY_MV_PER_G}\" is not a "
                      "decimal number")
endif()
string(REGEX MATCH "^0*([0-9]+(\\.[0-9]+)?)$" acc_sensitivity_match "${ACC_SENSITIVITY_MV_PER_G}")
set(ACC_SENSITIVITY_MV_PER_G_CLEAN "${CMAKE_MATCH_1}")
string(REGEX REPLACE "\\..*" "" acc_sensitivity_whole "${ACC_SENSITIVITY_MV_PER_G_CLEAN}")
string(LENGTH "${acc_sensitivity_whole}" acc_sensitivity_digits)
if(acc_sensitivity_digits GREATER 6)
  message(FATAL_ERROR "${acc_sensitivity_refused}; ${ACC_SENSITIVITY_MV_PER_G} is not below it")
endif()
if(NOT ACC_SENSITIVITY_MV_PER_G MATCHES "[1-9]")
  message(FATAL_ERROR "${acc_sensitivity_refused}; ${ACC_SENSITIVITY_MV_PER_G} is not above 0")
endif()
# A double literal: "100" would be an int, and a leading zero octal.
set(acc_sensitivity_literal "${ACC_SENSITIVITY_MV_PER_G_CLEAN}")
if(NOT acc_sensitivity_literal MATCHES "\\.")
  string(APPEND acc_sensitivity_literal ".0")
endif()
add_compile_definitions(ACC_SENSITIVITY_MV_PER_G=${acc_sensitivity_literal})
