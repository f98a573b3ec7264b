# Packages made with CPack from the install rules (cmake/Install.cmake). On Linux:
#   cpack -G DEB      (in the build folder) -> hq3746-monitor_VERSION-1_ARCH.deb
# The Debian package installs below /usr whatever CMAKE_INSTALL_PREFIX the build folder has.

set(HQ_PACKAGE_MAINTAINER "HQ3746 Monitor maintainers <maintainers@localhost>"
    CACHE STRING "Maintainer named in the packages")

set(CPACK_PACKAGE_NAME "hq3746-monitor")
set(CPACK_PACKAGE_VENDOR "KOV")
set(CPACK_PACKAGE_CONTACT "${HQ_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "HQ3746 Monitor")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/packages")
set(CPACK_STRIP_FILES ON)
if(WIN32)
    set(CPACK_GENERATOR "ZIP")
else()
    set(CPACK_GENERATOR "TGZ")
endif()

if(UNIX AND NOT APPLE)
    set(CPACK_GENERATOR "DEB")
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
    set(CPACK_DEBIAN_PACKAGE_SECTION "electronics")
    set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
    string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
        "Monitor and service tool for the HQ3746 drying cabinet, connected by USB (HID)\n"
        "or reached over Ethernet. The monitor window shows the humidity at the top and\n"
        "at the bottom of the cabinet, its settings, clock and identity, plots every\n"
        "status record on a service chart, finds cabinets on the local network and\n"
        "uploads their web page image. The command hq3746ctl offers the cabinet\n"
        "operations on the command line. A udev rule gives the user at the seat and\n"
        "the group plugdev access to the cabinet. The unit hq3746-publish@.service\n"
        "publishes a cabinet to an MQTT broker and serves Prometheus metrics.")

    # The shared libraries the executables link decide the dependencies (Qt 6, QCustomPlot,
    # libudev, the C++ runtime). Without dpkg-shlibdeps they are named here.
    find_program(HQ_DPKG_SHLIBDEPS dpkg-shlibdeps)
    if(HQ_DPKG_SHLIBDEPS)
        set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    else()
        set(CPACK_DEBIAN_PACKAGE_DEPENDS
            "libqt6core6, libqt6gui6, libqt6widgets6, libqt6network6, libqt6printsupport6, libqcustomplot2.1-qt6, libudev1, libstdc++6, libc6")
    endif()
    # The address label opens the cabinet's web page in the desktop's browser (xdg-open).
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")

    # postinst/postrm make udev read the rule and apply it to an attached cabinet.
    set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
        "${PROJECT_SOURCE_DIR}/packaging/linux/debian/postinst"
        "${PROJECT_SOURCE_DIR}/packaging/linux/debian/postrm"
        "${PROJECT_SOURCE_DIR}/packaging/linux/debian/conffiles")
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
