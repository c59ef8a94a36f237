# SPDX-License-Identifier: MIT
# The program's Windows icon, made at build time from the application icon's
# SVG (NetscryIcon.cmake), so that every system shows the same picture:
#   netscry_windows_icon(OUTPUT_VARIABLE)
# sets the variable to the .ico file; call it from the directory of the
# target that embeds it. The small sizes are bitmaps, which every Windows
# draws; 256 pixels is PNG, as Explorer's large views take it.

include(NetscryIcon)
find_program(NETSCRY_RSVG_CONVERT rsvg-convert)
find_program(NETSCRY_ICOTOOL icotool)

function(netscry_windows_icon out_var)
    if(NOT NETSCRY_RSVG_CONVERT OR NOT NETSCRY_ICOTOOL)
        message(FATAL_ERROR "the Windows icon needs rsvg-convert and icotool "
            "(packages librsvg2-bin and icoutils)")
    endif()
    set(dir ${CMAKE_CURRENT_BINARY_DIR}/icon)
    set(ico ${dir}/${NETSCRY_APP_ID}.ico)
    set(render)
    set(bitmaps)
    foreach(size 16 24 32 48 64 256)
        set(png ${dir}/${size}.png)
        list(APPEND render COMMAND ${NETSCRY_RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${NETSCRY_ICON_SVG})
        if(size EQUAL 256)
            list(APPEND bitmaps -r ${png})
        else()
            list(APPEND bitmaps ${png})
        endif()
    endforeach()
    add_custom_command(OUTPUT ${ico}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
        ${render}
        COMMAND ${NETSCRY_ICOTOOL} -c -o ${ico} ${bitmaps}
        DEPENDS ${NETSCRY_ICON_SVG}
        COMMENT "Making the Windows icon"
        VERBATIM)
    set(${out_var} ${ico} PARENT_SCOPE)
    # the setup program shows it too
    set_property(GLOBAL PROPERTY NETSCRY_WINDOWS_ICON ${ico})
endfunction()
