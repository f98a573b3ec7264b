# What `cmake --install` lays out (and what the packages hold). Everything the monitor looks for
# beside its executable goes into the program folder HQ_INSTALL_APPDIR (cmake/InstallDirs.cmake):
# the two executables, the language files (installed by src/localization), the web image place
# and the "Bootloader" folder. On Linux, bin/ holds relative symlinks to the executables; Qt
# resolves them, so QCoreApplication::applicationDirPath() is the program folder.

set(HQ_APP_ID "de.kov.HQ3746Monitor")
set(HQ_COMMANDS)
foreach(_cmd hq3746-monitor hq3746ctl)
    if(TARGET ${_cmd})
        install(TARGETS ${_cmd} RUNTIME DESTINATION ${HQ_INSTALL_APPDIR} COMPONENT runtime)
        list(APPEND HQ_COMMANDS ${_cmd})
    endif()
endforeach()

# The "Bootloader" folder stays empty but must exist; its README says what goes there. The web
# image "MPFSImg_DC.bin" is not shipped: it belongs in the program folder itself.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/common/Bootloader/README.txt
        DESTINATION ${HQ_INSTALL_APPDIR}/Bootloader COMPONENT runtime)

if(WIN32 AND TARGET hq3746-monitor)
    # The program folder as on an installed PC: no Qt or compiler runtime is installed on
    # Windows, so its DLLs and plugins go beside the executables (where Qt looks for plugins
    # first). scripts/package-windows zips this folder and wraps it into the setup program.
    install(TARGETS hq-hid-list RUNTIME DESTINATION ${HQ_INSTALL_APPDIR} COMPONENT runtime)
    foreach(_lib Qt6::Core Qt6::Gui Qt6::Widgets Qt6::Network Qt6::PrintSupport
                 QCustomPlotQt6::QCustomPlotQt6)
        install(FILES $<TARGET_FILE:${_lib}> DESTINATION ${HQ_INSTALL_APPDIR} COMPONENT runtime)
    endforeach()
    # Platform integration, native style, and JPEG for the chart export (PNG and BMP are built
    # into Qt6Gui).
    install(FILES $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin>
            DESTINATION ${HQ_INSTALL_APPDIR}/platforms COMPONENT runtime)
    install(FILES $<TARGET_FILE:Qt6::QWindowsVistaStylePlugin>
            DESTINATION ${HQ_INSTALL_APPDIR}/styles COMPONENT runtime)
    install(FILES $<TARGET_FILE:Qt6::QJpegPlugin>
            DESTINATION ${HQ_INSTALL_APPDIR}/imageformats COMPONENT runtime)
    # The MinGW-w64 C++ runtime the executables and Qt link dynamically.
    foreach(_dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${_dll}
                        OUTPUT_VARIABLE _path OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(NOT IS_ABSOLUTE "${_path}" OR NOT EXISTS "${_path}")
            message(FATAL_ERROR "MinGW runtime ${_dll} not found (${CMAKE_CXX_COMPILER})")
        endif()
        install(FILES ${_path} DESTINATION ${HQ_INSTALL_APPDIR} COMPONENT runtime)
    endforeach()
endif()

if(UNIX AND NOT APPLE)
    set(_pkg ${PROJECT_SOURCE_DIR}/packaging/linux)

    # bin/COMMAND -> ../lib/hq3746-monitor/COMMAND, made in the build tree and installed as links.
    file(RELATIVE_PATH _to_appdir "/prefix/${CMAKE_INSTALL_BINDIR}" "/prefix/${HQ_INSTALL_APPDIR}")
    set(_links ${CMAKE_BINARY_DIR}/install-links)
    file(MAKE_DIRECTORY ${_links})
    foreach(_cmd ${HQ_COMMANDS})
        file(CREATE_LINK ${_to_appdir}/${_cmd} ${_links}/${_cmd} SYMBOLIC)
        install(FILES ${_links}/${_cmd} DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
    endforeach()

    # Access to the cabinet's hidraw node for the user at the seat and the group plugdev.
    install(FILES ${_pkg}/70-hq3746.rules DESTINATION lib/udev/rules.d COMPONENT runtime)

    # Headless gateways: the unit that publishes one cabinet, and its settings.
    install(FILES ${_pkg}/systemd/hq3746-publish@.service
            DESTINATION lib/systemd/system COMPONENT runtime)
    # The settings belong in /etc for the package (prefix /usr), else below the prefix.
    install(CODE "
        if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
            set(_etc /etc)
        else()
            set(_etc \"\${CMAKE_INSTALL_PREFIX}/etc\")
        endif()
        file(INSTALL \"${_pkg}/systemd/publish.conf\" DESTINATION \"\${_etc}/hq3746\")
        " COMPONENT runtime)
    install(FILES ${PROJECT_SOURCE_DIR}/docs/fleet.md
            DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)

    # Menu entry and its icon in the sizes desktops ask for, plus the drawing they come from.
    install(FILES ${_pkg}/${HQ_APP_ID}.desktop
            DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT runtime)
    install(FILES ${_pkg}/${HQ_APP_ID}.metainfo.xml
            DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT runtime)
    foreach(_size 16 22 24 32 48 64 128 256)
        install(FILES ${PROJECT_SOURCE_DIR}/packaging/icons/hicolor/${_size}x${_size}/${HQ_APP_ID}.png
                DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${_size}x${_size}/apps
                COMPONENT runtime)
    endforeach()
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/icons/${HQ_APP_ID}.svg
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT runtime)

    # Manual pages, compressed when gzip is there (as Debian wants them).
    find_program(HQ_GZIP gzip)
    set(_man_outputs)
    foreach(_cmd ${HQ_COMMANDS})
        set(_page ${_pkg}/man/${_cmd}.1)
        if(HQ_GZIP)
            set(_out ${CMAKE_BINARY_DIR}/man/${_cmd}.1.gz)
            add_custom_command(OUTPUT ${_out}
                COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
                COMMAND ${HQ_GZIP} -9 -n -c ${_page} > ${_out}
                DEPENDS ${_page}
                COMMENT "Compressing the manual page of ${_cmd}")
            list(APPEND _man_outputs ${_out})
        else()
            set(_out ${_page})
        endif()
        install(FILES ${_out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
    endforeach()
    if(_man_outputs)
        add_custom_target(hq_man_pages ALL DEPENDS ${_man_outputs})
    endif()
endif()
