# The device library's functions that acc_recorder calls, and the check that
# a library given with ACTS2200_LIBRARY provides them.
set(ACC_DEVICE_FUNCTIONS
    ACTS2200_DEV_Create ACTS2200_AI_InitTask ACTS2200_AI_StartTask ACTS2200_AI_ReadAnalog
    ACTS2200_AI_StopTask ACTS2200_AI_ReleaseTask ACTS2200_DEV_Release)

# acc_check_device_library(<path>): fails the configure, naming every missing
# function, unless the library exports all of them as dynamic symbols. Found
# here, a wrong file costs a line of explanation instead of a link error or
# a recorder that the loader refuses on the board.
function(acc_check_device_library path)
  if(NOT CMAKE_NM)
    message(FATAL_ERROR "ACTS2200_LIBRARY: no nm found to check ${path} with")
  endif()
  execute_process(COMMAND ${CMAKE_NM} -D --defined-only "${path}"
                  RESULT_VARIABLE result OUTPUT_VARIABLE symbols ERROR_VARIABLE error)
  if(NOT result EQUAL 0)
    string(STRIP "${error}" error)
    message(FATAL_ERROR "ACTS2200_LIBRARY: cannot read the dynamic symbols of ${path}: ${error}")
  endif()
  set(missing "")
  foreach(function IN LISTS ACC_DEVICE_FUNCTIONS)
    # "<address> T <name>", with a version suffix ("@@V1") when versioned.
    if(NOT symbols MATCHES "(^|\n)[0-9a-fA-F]+ [TWi] ${function}(@[^\n]*)?(\n|$)")
      list(APPEND missing ${function})
    endif()
  endforeach()
  if(missing)
    list(JOIN missing ", " names)
    message(FATAL_ERROR "ACTS2200_LIBRARY: ${path} does not export ${names}")
  endif()
endfunction()
