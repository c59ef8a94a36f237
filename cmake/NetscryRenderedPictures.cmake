# SPDX-License-Identifier: MIT
# The program's SVG pictures rendered to PNG at build time, for a Qt without
# Qt SVG (Qt for Windows built from its base alone): one picture source for
# every system.
#   netscry_rendered_pictures(TARGET FOLDER folder SIZES WxH... FILES a.svg...)
# adds :/rendered/FOLDER/NAME-WxH.png to the target's resources for each file
# and size, where svgimages_rendered.cpp looks for them.

find_program(NETSCRY_RSVG_CONVERT rsvg-convert)

function(netscry_rendered_pictures target)
    cmake_parse_arguments(R "" "FOLDER" "SIZES;FILES" ${ARGN})
    if(NOT NETSCRY_RSVG_CONVERT)
        message(FATAL_ERROR "rsvg-convert not found (package librsvg2-bin): "
            "without Qt SVG the pictures are rendered with it")
    endif()
    set(out ${CMAKE_CURRENT_BINARY_DIR}/rendered/${R_FOLDER})
    set(pngs)
    foreach(svg IN LISTS R_FILES)
        get_filename_component(svg ${svg} ABSOLUTE)
        get_filename_component(name ${svg} NAME_WE)
        foreach(size IN LISTS R_SIZES)
            string(REPLACE "x" ";" wh ${size})
            list(GET wh 0 w)
            list(GET wh 1 h)
            set(png ${out}/${name}-${size}.png)
            add_custom_command(OUTPUT ${png}
                COMMAND ${CMAKE_COMMAND} -E make_directory ${out}
                COMMAND ${NETSCRY_RSVG_CONVERT} -w ${w} -h ${h} -o ${png} ${svg}
                DEPENDS ${svg}
                VERBATIM)
            list(APPEND pngs ${png})
        endforeach()
    endforeach()
    string(MAKE_C_IDENTIFIER "rendered_${R_FOLDER}" resource)
    qt_add_resources(${target} ${resource} PREFIX /rendered/${R_FOLDER} BASE ${out} FILES ${pngs})
endfunction()
