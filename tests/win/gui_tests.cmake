# SPDX-License-Identifier: MIT
# The windows' test programs that the Windows build makes and runs under
# Wine, on the offscreen platform (tests/win/run-gui-tests.sh): the one
# place to add a window's tests to the Windows build. Every name must be a
# test that netscry_add_test defines; the others are not built for Windows.
set(NETSCRY_WINE_GUI_TESTS
    # start-up, the log window and the error box
    test_startup
    test_log_and_errors
    # the main window: list, scan, commands, context menu, pictures
    test_tvpinterface
    test_deviceform
    test_context_menu
    test_images
    test_scan_devsim
    # the IP address properties dialog, its fields and the wait dialog
    test_address_fields
    test_devicecomm
    test_ipconfig
    test_ipcommands_devsim
    # the flash upgrade dialog and About
    upgrade_form_test
    upgrade_commands_test
    upgrade_devsim_test
    about_test
    # a whole session against the sample LAN
    session_test
)

# Not run under Wine, and why:
set(NETSCRY_LINUX_ONLY_GUI_TESTS
    "test_single_instance: the real program on X servers of its own; under Wine the installer test starts the installed program twice instead"
    "test_command_line: the real program on an X server of its own, with stand-in programs as shell scripts on PATH"
    "test_desktop_programs: stand-in desktop programs as shell scripts on PATH"
    "test_autoip_netns: a LAN of network namespaces, veth pairs and a bridge"
)

# One target builds them all, and a renamed or removed test is an error
# here rather than a test that silently stops running.
function(netscry_wine_gui_tests_target)
    add_custom_target(wine_gui_tests ALL)
    foreach(test IN LISTS NETSCRY_WINE_GUI_TESTS)
        if(NOT TARGET ${test})
            message(FATAL_ERROR "tests/win/gui_tests.cmake lists ${test}, which no test defines")
        endif()
        add_dependencies(wine_gui_tests ${test})
    endforeach()
endfunction()
