# Windows cross-build with Qt: the MinGW-w64 compilers (mingw-w64.cmake) plus the Qt and
# QCustomPlot that scripts/build-qt-mingw builds into its cache folder, with the host's Qt tools
# (moc, uic, rcc) from Debian's qt6-base-dev-tools. Test executables run under Wine
# (scripts/wine-run), so `ctest --preset mingw` works like the native test preset.
#
# HQ_QT_MINGW_PREFIX (cache variable or environment) names the Qt prefix; by default it is the
# one scripts/build-qt-mingw --print-prefix names for the host's Qt and QCustomPlot versions.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

get_filename_component(_hq_source_dir ${CMAKE_CURRENT_LIST_DIR} DIRECTORY)
if(NOT HQ_QT_MINGW_PREFIX AND DEFINED ENV{HQ_QT_MINGW_PREFIX})
    set(HQ_QT_MINGW_PREFIX $ENV{HQ_QT_MINGW_PREFIX})
endif()
if(NOT HQ_QT_MINGW_PREFIX)
    execute_process(COMMAND ${_hq_source_dir}/scripts/build-qt-mingw --print-prefix
                    OUTPUT_VARIABLE HQ_QT_MINGW_PREFIX OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE _hq_rc)
    if(NOT _hq_rc EQUAL 0)
        message(FATAL_ERROR "scripts/build-qt-mingw --print-prefix failed (${_hq_rc})")
    endif()
endif()
set(HQ_QT_MINGW_PREFIX ${HQ_QT_MINGW_PREFIX} CACHE PATH "Qt for MinGW (scripts/build-qt-mingw)")
if(NOT EXISTS ${HQ_QT_MINGW_PREFIX}/.hq-stamp)
    message(FATAL_ERROR "No Qt for MinGW in ${HQ_QT_MINGW_PREFIX}: run scripts/build-qt-mingw")
endif()

list(APPEND CMAKE_FIND_ROOT_PATH ${HQ_QT_MINGW_PREFIX})
list(APPEND CMAKE_PREFIX_PATH ${HQ_QT_MINGW_PREFIX})
set(QT_HOST_PATH /usr)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR ${_hq_source_dir}/scripts/wine-run)
