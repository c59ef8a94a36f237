# SPDX-License-Identifier: MIT
# Installs what the programs need beside their binaries: the desktop entry,
# the application icon in the hicolor theme, the AppStream metainfo, the
# man pages (compressed), the Wireshark dissector and the licence.
# The programs install themselves in their own directories.

include(GNUInstallDirs)

set(NETSCRY_HOMEPAGE "https://netscry.tarvex.com" CACHE STRING
    "Project home page named in the AppStream metainfo (its screenshots lie under it)")

set(_pkg_src ${PROJECT_SOURCE_DIR}/packaging)
set(_pkg_out ${PROJECT_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${_pkg_out})

if(NETSCRY_GUI)
    # NETSCRY_APP_ID: the name of the desktop entry, its icon and metainfo.
    include(NetscryIcon)
    install(FILES ${NETSCRY_ICON_SVG}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

    # PNG sizes are rendered at build time from the same SVG.
    find_program(NETSCRY_RSVG_CONVERT rsvg-convert)
    if(NETSCRY_RSVG_CONVERT)
        set(_pngs)
        foreach(size 16 22 24 32 48 64 128 256)
            set(_png ${_pkg_out}/icons/${size}x${size}/${NETSCRY_APP_ID}.png)
            add_custom_command(OUTPUT ${_png}
                COMMAND ${CMAKE_COMMAND} -E make_directory ${_pkg_out}/icons/${size}x${size}
                COMMAND ${NETSCRY_RSVG_CONVERT} -w ${size} -h ${size} -o ${_png} ${NETSCRY_ICON_SVG}
                DEPENDS ${NETSCRY_ICON_SVG}
                COMMENT "Rendering the ${size}x${size} application icon"
                VERBATIM)
            list(APPEND _pngs ${_png})
            install(FILES ${_png}
                DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
        endforeach()
        add_custom_target(netscry_icons ALL DEPENDS ${_pngs})
        unset(_pngs)
    else()
        message(WARNING "rsvg-convert not found (package librsvg2-bin): "
            "only the scalable application icon is installed")
    endif()

    configure_file(${_pkg_src}/${NETSCRY_APP_ID}.desktop
        ${_pkg_out}/${NETSCRY_APP_ID}.desktop COPYONLY)
    install(FILES ${_pkg_out}/${NETSCRY_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    configure_file(${_pkg_src}/${NETSCRY_APP_ID}.metainfo.xml.in
        ${_pkg_out}/${NETSCRY_APP_ID}.metainfo.xml @ONLY)
    install(FILES ${_pkg_out}/${NETSCRY_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
endif()

# Man pages, compressed the way Debian wants them (no name, no time stamp).
find_program(NETSCRY_GZIP gzip REQUIRED)
set(_man_pages tvp-devsim.1)
if(NETSCRY_GUI)
    list(APPEND _man_pages netscry.1)
endif()
if(TARGET netscry-cli AND EXISTS ${PROJECT_SOURCE_DIR}/man/netscry-cli.1)
    list(APPEND _man_pages netscry-cli.1)
endif()
set(_man_gz)
foreach(page IN LISTS _man_pages)
    string(REGEX MATCH "[0-9]+$" _section ${page})
    set(_gz ${PROJECT_BINARY_DIR}/man/${page}.gz)
    add_custom_command(OUTPUT ${_gz}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
        COMMAND ${NETSCRY_GZIP} -9n -c ${PROJECT_SOURCE_DIR}/man/${page} > ${_gz}
        DEPENDS ${PROJECT_SOURCE_DIR}/man/${page}
        COMMENT "Compressing the man page ${page}")
    list(APPEND _man_gz ${_gz})
    install(FILES ${_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${_section})
endforeach()
add_custom_target(netscry_man ALL DEPENDS ${_man_gz})
unset(_man_gz)
unset(_man_pages)

# Wireshark loads Lua dissectors from its global plugin folder.
set(NETSCRY_WIRESHARK_PLUGIN_DIR ${CMAKE_INSTALL_LIBDIR}/wireshark/plugins CACHE STRING
    "Where the TVP dissector for Wireshark is installed (Wireshark's global Lua plugin folder)")
install(FILES ${PROJECT_SOURCE_DIR}/tools/wireshark/tvp.lua
    DESTINATION ${NETSCRY_WIRESHARK_PLUGIN_DIR})

unset(_pkg_src)
unset(_pkg_out)
