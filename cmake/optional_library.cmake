# acc_inspect and acc_archive need libraries the recorder does not: a board
# with a compiler alone still builds the recorder. Each program has an AUTO,
# ON or OFF switch; AUTO builds it when its libraries are found.

# acc_optional_libraries(<out> <option> <program> <needs>
#                        [<name> <debian> <module> <header> <library>]...):
# the cache switch <option> for <program>, and each library found by
# pkg-config (<module>) or else by <header> and the library file. Sets <out>
# to the targets to link, or to "" when <program> is not built: OFF, or a
# library missing (a message says what to install; with ON, a configure error).
function(acc_optional_libraries out option program needs)
  set(${out} "" PARENT_SCOPE)
  set(${option} AUTO CACHE STRING "Build ${program} (needs ${needs}): AUTO, ON or OFF")
  set_property(CACHE ${option} PROPERTY STRINGS AUTO ON OFF)
  set(switch "${${option}}")
  if(NOT switch MATCHES "^(AUTO|ON|OFF)$")
    message(FATAL_ERROR "${option} must be AUTO, ON or OFF, not '${switch}'")
  endif()
  if(switch STREQUAL "OFF")
    message(STATUS "${program}: not built (${option}=OFF)")
    return()
  endif()
  find_package(PkgConfig QUIET)
  set(targets "")
  while(ARGN)
    list(POP_FRONT ARGN name debian module header library)
    string(TOUPPER ${library} prefix)
    if(PkgConfig_FOUND)
      pkg_check_modules(${prefix} QUIET IMPORTED_TARGET ${module})
    endif()
    if(TARGET PkgConfig::${prefix})
      list(APPEND targets PkgConfig::${prefix})
      continue()
    endif()
    find_path(ACC_${prefix}_INCLUDE_DIR ${header})
    find_library(ACC_${prefix}_LIBRARY_FILE ${library})
    if(NOT ACC_${prefix}_INCLUDE_DIR OR NOT ACC_${prefix}_LIBRARY_FILE)
      if(switch STREQUAL "ON")
        message(FATAL_ERROR "${option}=ON: ${program} needs ${name} (Debian: ${debian})")
      endif()
      message(STATUS "${program}: not built, it needs ${name} "
                     "(Debian: sudo apt-get install ${debian}, then configure again)")
      return()
    endif()
    add_library(acc_${library} UNKNOWN IMPORTED)
    set_target_properties(acc_${library} PROPERTIES IMPORTED_LOCATION "${ACC_${prefix}_LIBRARY_FILE}"
                          INTERFACE_INCLUDE_DIRECTORIES "${ACC_${prefix}_INCLUDE_DIR}")
    list(APPEND targets acc_${library})
  endwhile()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()
