# Debian packages (cpack -G DEB): acc-recorder, and acc-inspect when the
# inspector is built, so that a board can have the recorder alone. The
# recorder's package carries the systemd unit, the service's user and its
# data directory, which is the recorder's compiled-in output directory; a
# build for another directory makes no package.
set(ACC_PACKAGE_DATA_DIR /var/lib/acc_recorder)
if(NOT ACC_OUT_DIR_CLEAN STREQUAL ACC_PACKAGE_DATA_DIR)
  message(STATUS "Debian package: not offered (the service records into ${ACC_PACKAGE_DATA_DIR}; "
                 "configure with -DACC_OUT_DIR=${ACC_PACKAGE_DATA_DIR}, e.g. preset deb)")
  return()
endif()

set(ACC_PACKAGE_MAINTAINER "acc_recorder maintainers <acc-recorder@example.org>" CACHE STRING
    "Maintainer field of the Debian packages")
# The unit lives outside the prefix, in /lib: staged with DESTDIR.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ACC_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends from the binaries. A real device library is found where it was
# linked from, belongs to no package and so adds no dependency; the
# simulator is in the package itself.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(ACTS2200_LIBRARY)
  get_filename_component(device_library_dir ${ACTS2200_LIBRARY} DIRECTORY)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${device_library_dir})
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
if(CMAKE_CROSSCOMPILING)
  # Debian's names for the target; natively CPack asks dpkg.
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
  elseif(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
  else()
    message(FATAL_ERROR "Debian package: no Debian architecture known for ${CMAKE_SYSTEM_PROCESSOR}")
  endif()
endif()

set(package_dir ${CMAKE_BINARY_DIR}/package)

# acc_package_unit(<unit> <program>): deploy/<unit> as the package installs
# it, into the package directory: its ExecStart runs /usr/bin/<program>.
function(acc_package_unit unit program)
  file(READ ${PROJECT_SOURCE_DIR}/deploy/${unit} text)
  string(REGEX REPLACE "\nExecStart=/usr/local/bin/${program}([ \n])"
         "\nExecStart=/usr/bin/${program}\\1" packaged "${text}")
  if(packaged STREQUAL text)
    message(FATAL_ERROR "deploy/${unit}: no ExecStart=/usr/local/bin/${program} to rewrite")
  endif()
  file(WRITE ${package_dir}/${unit} "${packaged}")
endfunction()

acc_package_unit(acc-recorder.service acc_recorder)

# acc_package_docs(<component> <package>): the copyright file and the
# compressed changelog every Debian package carries.
function(acc_package_docs component package)
  set(doc ${package_dir}/${package})
  string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)  # SOURCE_DATE_EPOCH, if set
  file(WRITE ${doc}/changelog
       "${package} (${PROJECT_VERSION}) stable; urgency=medium\n\n"
       "  * Release ${PROJECT_VERSION}.\n\n"
       " -- ${ACC_PACKAGE_MAINTAINER}  ${date}\n")
  execute_process(COMMAND gzip -9nf ${doc}/changelog RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "Debian package: gzip failed on ${doc}/changelog")
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/deploy/debian/copyright ${doc}/changelog.gz
          DESTINATION share/doc/${package} COMPONENT ${component} EXCLUDE_FROM_ALL)
endfunction()

install(FILES ${package_dir}/acc-recorder.service DESTINATION /lib/systemd/system
        COMPONENT recorder EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/deploy/acc-recorder.sysusers DESTINATION lib/sysusers.d
        RENAME acc-recorder.conf COMPONENT recorder EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/deploy/acc-recorder.tmpfiles DESTINATION lib/tmpfiles.d
        RENAME acc-recorder.conf COMPONENT recorder EXCLUDE_FROM_ALL)
acc_package_docs(recorder acc-recorder)
set(recorder_control ${PROJECT_SOURCE_DIR}/deploy/debian/postinst
    ${PROJECT_SOURCE_DIR}/deploy/debian/prerm ${PROJECT_SOURCE_DIR}/deploy/debian/postrm)

# The archiver, its units (run /usr/bin/acc_archive) and its options, a
# conffile with retention off.
if(TARGET acc_archive)
  acc_package_unit(acc-archive.service acc_archive)
  install(FILES ${package_dir}/acc-archive.service ${PROJECT_SOURCE_DIR}/deploy/acc-archive.timer
          DESTINATION /lib/systemd/system COMPONENT recorder EXCLUDE_FROM_ALL)
  install(FILES ${PROJECT_SOURCE_DIR}/deploy/acc-archive.default DESTINATION /etc/default
          RENAME acc-archive COMPONENT recorder EXCLUDE_FROM_ALL)
  install(FILES ${PROJECT_SOURCE_DIR}/deploy/restart-after-full-disk.conf
          DESTINATION share/doc/acc-recorder/examples COMPONENT recorder EXCLUDE_FROM_ALL)
  file(WRITE ${package_dir}/conffiles "/etc/default/acc-archive\n")
  list(APPEND recorder_control ${package_dir}/conffiles)
else()
  message(STATUS "Debian package: acc-recorder without acc_archive (it needs libzstd-dev)")
endif()

set(CPACK_DEBIAN_RECORDER_PACKAGE_NAME acc-recorder)
set(CPACK_DEBIAN_RECORDER_PACKAGE_DEPENDS systemd)
set(CPACK_DEBIAN_RECORDER_PACKAGE_CONTROL_EXTRA ${recorder_control})
# Control-file descriptions: a synopsis, then lines of at most 80 columns
# (CPack adds the leading blank and turns empty lines into " ."), and no
# semicolons: they would split the list.
if(ACC_FILE_SPAN_S_CLEAN EQUAL 0)
  set(recorder_files "one per recording")
elseif(ACC_FILE_SPAN_S_CLEAN EQUAL 3600)
  set(recorder_files "a new one every hour")
else()
  set(recorder_files "a new one every ${ACC_FILE_SPAN_S_CLEAN} s")
endif()
set(recorder_text
    "acc_recorder records one analog input of the data-acquisition device at\n"
    "10000 Hz into CSV files, ${recorder_files}, until it is stopped. It is\n"
    "built for a sensor of ${ACC_SENSITIVITY_MV_PER_G_CLEAN} mV/g.\n\n"
    "The systemd service acc-recorder records into ${ACC_PACKAGE_DATA_DIR}\n"
    "as the system user acc-recorder. Installing the package makes the user and\n"
    "the directory, and neither enables nor starts the service.\n\n")
if(TARGET acc_archive)
  string(APPEND recorder_text
         "acc_archive compresses finished recordings (zstd) and, when asked in\n"
         "/etc/default/acc-archive, deletes the oldest to keep room on the card.\n"
         "The timer acc-archive.timer runs it every five minutes once enabled.\n\n")
endif()
if(ACTS2200_LIBRARY)
  string(APPEND recorder_text
         "The device library libACTS2200.so is not part of this package: install\n"
         "the vendor's library where the system's loader finds it (for example\n"
         "/usr/local/lib, then run ldconfig).")
else()
  string(APPEND recorder_text
         "This build records from the simulated device library, installed for the\n"
         "recorder alone in /usr/lib/acc_recorder: it records a synthetic signal,\n"
         "not a real device.")
endif()
string(CONCAT CPACK_DEBIAN_RECORDER_DESCRIPTION
       "records an accelerometer through a USB data-acquisition device\n" ${recorder_text})
set(CPACK_COMPONENTS_ALL recorder)

if(TARGET acc_inspect)
  acc_package_docs(inspector acc-inspect)
  # The follower's unit, run /usr/bin/acc_inspect, with scripts that leave
  # it disabled.
  acc_package_unit(acc-follow.service acc_inspect)
  install(FILES ${package_dir}/acc-follow.service DESTINATION /lib/systemd/system
          COMPONENT inspector EXCLUDE_FROM_ALL)
  set(inspect_scripts ${PROJECT_SOURCE_DIR}/deploy/debian/acc-inspect)
  set(CPACK_DEBIAN_INSPECTOR_PACKAGE_CONTROL_EXTRA ${inspect_scripts}/postinst
      ${inspect_scripts}/prerm ${inspect_scripts}/postrm)
  set(CPACK_DEBIAN_INSPECTOR_PACKAGE_NAME acc-inspect)
  string(CONCAT CPACK_DEBIAN_INSPECTOR_DESCRIPTION
         "checks an accelerometer recording and shows what it holds\n"
         "acc_inspect reads a recording of acc_recorder once, in constant memory,\n"
         "checks its format, continuity and consistency, and reports its statistics,\n"
         "spectrum, spectral density, band, octave, velocity and displacement levels\n"
         "and their trend over time; --svg draws it, --json and --csv give the\n"
         "figures to scripts.\n\n"
         "It needs no device: install it on the board or on the computer the\n"
         "recordings are copied to.\n\n"
         "On the board, the systemd service acc-follow keeps the latest levels of\n"
         "the recording being made for the textfile collector of the Prometheus\n"
         "node exporter, run after run. Installing the package does not enable it.")
  list(APPEND CPACK_COMPONENTS_ALL inspector)
endif()

include(CPack)
