# A board with a compiler alone: with FFTW out of sight (no pkg-config, and
# the directories of its header and library ignored by every search), the
# configure builds the recorder and skips acc_inspect with one message naming
# the package, and ACC_BUILD_INSPECT=ON fails naming it.
#   WORK_DIR, FFTW_DIRS ("|"-separated), and those of nested_build.cmake
include(${CMAKE_CURRENT_LIST_DIR}/nested_build.cmake)

string(REPLACE "|" ";" hidden "${FFTW_DIRS}")
set(hide -DCMAKE_DISABLE_FIND_PACKAGE_PkgConfig=ON "-DCMAKE_IGNORE_PATH=${hidden}")
file(REMOVE_RECURSE ${WORK_DIR})

acc_configure_nested(result output ${WORK_DIR}/auto "" /tmp ${hide})
string(REGEX REPLACE "[ \n]+" " " flat "${output}")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "configure without FFTW failed:\n${output}")
endif()
if(NOT flat MATCHES "acc_inspect: not built, it needs FFTW 3 \\(Debian: sudo apt-get install libfftw3-dev")
  message(FATAL_ERROR "configure without FFTW did not say what to install:\n${output}")
endif()
# libzstd lives in the same directories: the archiver is left out too.
if(NOT flat MATCHES "acc_archive: not built, it needs libzstd \\(Debian: sudo apt-get install libzstd-dev"
   OR EXISTS ${WORK_DIR}/auto/archive/CMakeFiles/acc_archive.dir)
  message(FATAL_ERROR "configure without libzstd: acc_archive not left out as expected:\n${output}")
endif()
if(NOT EXISTS ${WORK_DIR}/auto/src/CMakeFiles/acc_recorder.dir
   OR EXISTS ${WORK_DIR}/auto/inspect/CMakeFiles/acc_inspect.dir)
  message(FATAL_ERROR "configure without FFTW: expected acc_recorder alone:\n${output}")
endif()

acc_configure_nested(result output ${WORK_DIR}/on "" /tmp ${hide} -DACC_BUILD_INSPECT=ON)
string(REGEX REPLACE "[ \n]+" " " flat "${output}")
if(result EQUAL 0 OR NOT flat MATCHES "acc_inspect needs FFTW 3 \\(Debian: libfftw3-dev\\)")
  message(FATAL_ERROR "ACC_BUILD_INSPECT=ON without FFTW: expected a configure error "
                      "naming libfftw3-dev (status ${result}):\n${output}")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
