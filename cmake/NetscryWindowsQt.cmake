# SPDX-License-Identifier: MIT
# Qt for Windows in the MinGW-w64 cross build: the Qt that CMAKE_PREFIX_PATH
# names, or else the one scripts/build-qt-windows.sh built into its cache.
# Its folder becomes a root of the toolchain's search beside MinGW's own.
# Unless -DNETSCRY_GUI says otherwise, the program is built when that Qt is
# there, and the library, the command-line tool and the simulator alone
# when it is not; asked again at each configure, so that a Qt built later
# is found.

if(NOT CMAKE_PREFIX_PATH)
    execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/build-qt-windows.sh --prefix
        OUTPUT_VARIABLE _netscry_qt OUTPUT_STRIP_TRAILING_WHITESPACE
        RESULT_VARIABLE _netscry_rc ERROR_QUIET)
    if(_netscry_rc EQUAL 0 AND EXISTS ${_netscry_qt}/.complete)
        set(CMAKE_PREFIX_PATH ${_netscry_qt})
    endif()
    unset(_netscry_qt)
    unset(_netscry_rc)
endif()
list(APPEND CMAKE_FIND_ROOT_PATH ${CMAKE_PREFIX_PATH})

if(NOT DEFINED CACHE{NETSCRY_GUI})
    find_package(Qt6 QUIET COMPONENTS Widgets)
    if(Qt6_FOUND)
        set(NETSCRY_GUI ON)
        message(STATUS "Qt for Windows in ${Qt6_DIR}: the program is built too")
    else()
        set(NETSCRY_GUI OFF)
        message(STATUS "No Qt for Windows (scripts/build-qt-windows.sh builds it): "
            "the library, the command-line tool and the simulator alone")
    endif()
endif()
