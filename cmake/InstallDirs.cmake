# Where `cmake --install` and the packages put the program. The monitor expects its language
# files, the web image "MPFSImg_DC.bin" and the "Bootloader" folder beside its executable, so
# everything it looks for lies in one folder, HQ_INSTALL_APPDIR (relative to the prefix):
#   Linux:   lib/hq3746-monitor, with the two commands linked into bin/
#   Windows: bin, the program folder itself
include(GNUInstallDirs)
if(WIN32)
    set(HQ_INSTALL_APPDIR "${CMAKE_INSTALL_BINDIR}" CACHE STRING
        "Program folder relative to the install prefix")
else()
    set(HQ_INSTALL_APPDIR "lib/hq3746-monitor" CACHE STRING
        "Program folder relative to the install prefix")
endif()
