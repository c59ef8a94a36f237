# SPDX-License-Identifier: MIT
# Header-only libraries of the build machine (/usr/include) for a cross
# build: each gets an include folder of its own holding a link to its
# headers alone, so the target's compiler never sees the host's other
# headers. netscry_host_headers(<target> <folder under /usr/include>)
# defines the IMPORTED target the library's own package would.
include_guard(GLOBAL)

function(netscry_host_headers target folder)
    if(TARGET ${target})
        return()
    endif()
    set(source /usr/include/${folder})
    if(NOT IS_DIRECTORY ${source})
        message(FATAL_ERROR "${target}: ${source} not found; install the library's development package")
    endif()
    string(MAKE_C_IDENTIFIER ${target} name)
    set(dir ${CMAKE_BINARY_DIR}/host-headers/${name})
    file(MAKE_DIRECTORY ${dir})
    file(CREATE_LINK ${source} ${dir}/${folder} SYMBOLIC)
    add_library(${target} INTERFACE IMPORTED GLOBAL)
    set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${dir})
endfunction()
