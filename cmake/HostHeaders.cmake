# SPDX-License-Identifier: MIT
# Header-only libraries in a cross build, taken from the build machine.
#
#   netscry_header_package(<package> <target> <entry>...)
#
# A native build finds <package> as usual (find_package CONFIG) and uses its
# <target>. A cross build has no such package for the target system, but
# the headers need none: <target> becomes an imported interface library
# whose include directory holds links to the host's <entry>s (directories
# or files directly in NETSCRY_HOST_INCLUDE_DIR), so the cross compiler
# sees those headers and nothing else of /usr/include.
include_guard(GLOBAL)

set(NETSCRY_HOST_INCLUDE_DIR /usr/include CACHE PATH
    "Where a cross build finds the build machine's header-only libraries")

macro(netscry_header_package package target)
    if(NOT CMAKE_CROSSCOMPILING)
        find_package(${package} CONFIG REQUIRED)
    elseif(NOT TARGET ${target})
        _netscry_host_headers(${target} ${ARGN})
    endif()
endmacro()

function(_netscry_host_headers target)
    string(MAKE_C_IDENTIFIER "${target}" dirname)
    set(dir ${PROJECT_BINARY_DIR}/host-headers/${dirname})
    file(MAKE_DIRECTORY ${dir})
    foreach(entry IN LISTS ARGN)
        set(source ${NETSCRY_HOST_INCLUDE_DIR}/${entry})
        if(NOT EXISTS ${source})
            message(FATAL_ERROR "${target}: ${source} is missing; install the library's headers on the build machine")
        endif()
        if(NOT EXISTS ${dir}/${entry})
            file(CREATE_LINK ${source} ${dir}/${entry} SYMBOLIC)
        endif()
    endforeach()
    add_library(${target} INTERFACE IMPORTED GLOBAL)
    set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${dir})
endfunction()
