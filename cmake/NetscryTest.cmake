# SPDX-License-Identifier: MIT
# netscry_add_test(name SOURCES a.cpp ... [LIBS lib ...] [GUI] [LABELS l ...]
#                  [LOCK resource])
#
# One test executable per test file, registered with CTest. GUI tests link
# the test main that creates the QApplication and run on the offscreen
# platform. Tests find the build and source trees through test_support.h.
# Tests that hold one LOCK never run at the same time: the namespace LANs
# share the test command's namespace, where two PC links on one subnet
# would confuse each other's routes. A cross build registers one test per
# program, run through CMAKE_CROSSCOMPILING_EMULATOR; for Windows only the
# GUI tests that tests/win/gui_tests.cmake lists, labelled wine_gui.
function(netscry_add_test name)
    cmake_parse_arguments(T "GUI" "TIMEOUT;LOCK" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
    if(T_GUI)
        target_link_libraries(${name} PRIVATE netscry_test_gui_main ${T_LIBS})
    else()
        target_link_libraries(${name} PRIVATE netscry_test_support GTest::gtest_main ${T_LIBS})
    endif()
    if(MINGW AND NOT T_GUI)
        # runs under Wine with no MinGW runtime DLLs beside it (GUI tests
        # share Qt's runtime DLLs, as the program does)
        target_link_options(${name} PRIVATE -static)
    endif()
    if(WIN32 AND T_GUI)
        # only the windows' tests that run under Wine (tests/win/gui_tests.cmake)
        if(NOT name IN_LIST NETSCRY_WINE_GUI_TESTS)
            return()
        endif()
        list(APPEND T_LABELS wine_gui)
    endif()
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    # an empty value would shift the pairs after it: only what is set
    set(properties TIMEOUT ${T_TIMEOUT})
    if(T_LABELS)
        list(APPEND properties LABELS "${T_LABELS}")
    endif()
    if(T_LOCK)
        list(APPEND properties RESOURCE_LOCK ${T_LOCK})
    endif()
    if(CMAKE_CROSSCOMPILING)
        # one run per program: each start under an emulator such as Wine
        # costs far more than a test case does
        set(arguments)
        if(NETSCRY_WINE_GUI_SKIPPED_${name})
            list(JOIN NETSCRY_WINE_GUI_SKIPPED_${name} ":" skipped)
            set(arguments "--gtest_filter=-${skipped}")
        endif()
        add_test(NAME ${name} COMMAND ${name} ${arguments})
        set_tests_properties(${name} PROPERTIES ${properties})
        return()
    endif()
    gtest_discover_tests(${name}
        DISCOVERY_MODE PRE_TEST
        PROPERTIES ${properties})
endfunction()
