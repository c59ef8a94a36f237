# SPDX-License-Identifier: MIT
# netscry_add_test(name SOURCES a.cpp ... [LIBS lib ...] [GUI] [LABELS l ...])
#
# One test executable per test file, registered with CTest. GUI tests link
# the test main that creates the QApplication and run on the offscreen
# platform. Tests find the build and source trees through test_support.h.
function(netscry_add_test name)
    cmake_parse_arguments(T "GUI" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
    if(T_GUI)
        target_link_libraries(${name} PRIVATE netscry_test_gui_main ${T_LIBS})
    else()
        target_link_libraries(${name} PRIVATE netscry_test_support GTest::gtest_main ${T_LIBS})
    endif()
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    gtest_discover_tests(${name}
        DISCOVERY_MODE PRE_TEST
        PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
endfunction()
