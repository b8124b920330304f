# acc_configure_nested(<result var> <output var> <build dir> <library> <out dir> [<arg>...])
# Configures this source tree anew as someone building for the board would:
# against a device library given by path, with its own output directory, and
# any further cache settings given.
#   SOURCE_DIR, GENERATOR, MAKE_PROGRAM, TOOLCHAIN_FILE or CXX_COMPILER, and
#   CXX_FLAGS, EXE_LINKER_FLAGS (a sanitized simulator needs a sanitized program)
function(acc_configure_nested result_var output_var build library out_dir)
  file(REMOVE_RECURSE ${build})
  set(args -S ${SOURCE_DIR} -B ${build} -G ${GENERATOR} -DCMAKE_BUILD_TYPE=Release
      -DACTS2200_LIBRARY=${library} -DACC_OUT_DIR=${out_dir} -DACC_BUILD_TESTS=OFF
      -DACC_BUILD_BENCH=OFF "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}"
      "-DCMAKE_EXE_LINKER_FLAGS=${EXE_LINKER_FLAGS}" ${ARGN})
  if(MAKE_PROGRAM)
    list(APPEND args -DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM})
  endif()
  if(TOOLCHAIN_FILE)
    list(APPEND args -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE})
  else()
    list(APPEND args -DCMAKE_CXX_COMPILER=${CXX_COMPILER})
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} ${args}
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  set(${result_var} "${result}" PARENT_SCOPE)
  set(${output_var} "${output}" PARENT_SCOPE)
endfunction()
