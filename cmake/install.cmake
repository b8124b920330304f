# cmake --install: the recorder in bin/, and acc_inspect when it is built,
# each with its manual page in share/man/man1.
# The simulator goes along only when it is the library the recorder was
# built against, in a directory of its own
# that no loader searches, so that it can never stand in for a real device
# library installed on the system; the recorder alone finds it, relative to
# itself. Built against a real library, the installed recorder carries no
# search path and finds that library where the system's loader does.
install(TARGETS acc_recorder RUNTIME DESTINATION bin COMPONENT recorder)
if(NOT ACTS2200_LIBRARY)
  install(TARGETS acts2200_sim LIBRARY DESTINATION lib/acc_recorder COMPONENT recorder)
  set_target_properties(acc_recorder PROPERTIES INSTALL_RPATH "$ORIGIN/../lib/acc_recorder")
endif()
if(TARGET acc_inspect)
  install(TARGETS acc_inspect RUNTIME DESTINATION bin COMPONENT inspector)
endif()

# Each program's manual page goes along with it, compressed as Debian wants
# (gzip -9n: no name and no time stamp in the file, so builds are identical).
# Built with its program, so that building that target alone installs.
# acc_man_page(<program> <component> [<page> <section>]): the program's own
# page, or another page (a file format) that goes with it.
find_program(ACC_GZIP gzip REQUIRED)
function(acc_man_page program component)
  set(name ${program})
  set(section 1)
  if(ARGC GREATER 3)
    set(name ${ARGV2})
    set(section ${ARGV3})
  endif()
  set(source ${PROJECT_SOURCE_DIR}/man/${name}.${section})
  set(page ${CMAKE_BINARY_DIR}/man/${name}.${section}.gz)
  add_custom_command(OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND sh -c "\"$0\" -9n -c \"$1\" > \"$2.new\" && mv \"$2.new\" \"$2\""
            ${ACC_GZIP} ${source} ${page}
    DEPENDS ${source} VERBATIM)
  add_custom_target(${name}_man_page DEPENDS ${page})
  add_dependencies(${program} ${name}_man_page)
  install(FILES ${page} DESTINATION share/man/man${section} COMPONENT ${component})
endfunction()
acc_man_page(acc_recorder recorder)
if(TARGET acc_inspect)
  acc_man_page(acc_inspect inspector)
endif()
# The archiver goes with the recorder: the board needs it.
if(TARGET acc_archive)
  install(TARGETS acc_archive RUNTIME DESTINATION bin COMPONENT recorder)
  acc_man_page(acc_archive recorder)
  acc_man_page(acc_archive recorder acc_compact 5)
  acc_man_page(acc_archive recorder acc_summary 5)
endif()
