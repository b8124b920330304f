# cmake --install: the recorder in bin/, and acc_inspect when it is built.
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
# The archiver goes with the recorder: the board needs it.
if(TARGET acc_archive)
  install(TARGETS acc_archive RUNTIME DESTINATION bin COMPONENT recorder)
endif()
