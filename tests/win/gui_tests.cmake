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
    test_listcommands_devsim
    test_scanaddresses
    # the IP address properties dialog, its fields and the wait dialog
    test_address_fields
    test_devicecomm
    test_ipconfig
    test_ipcommands_devsim
    # the flash upgrade dialog and About
    test_upgrade_form
    test_upgrade_commands
    test_upgrade_devsim
    test_about
    # Tools: upgrading several devices, keeping the list scanned, comparing it with a saved one
    test_fleetupgrade
    # Tools > Address Plan...
    test_addressplan
    # Tools > Keep Scanning
    test_keepscanning
    test_compare_saved_devsim
    # the keys of every dialog and menu
    test_dialog_keys
    test_menu_keys
)

# Cases left out under Wine, and why; netscry_add_test hands them to the
# test program as a negative --gtest_filter.
# Wine sends every UDP datagram from 127.0.0.1, whatever address the Windows
# simulator's device answers for (README, the Wine tests): its on-link
# devices fail the program's probe and their uploads. The installer test
# checks the scan against the Linux simulator instead.
set(NETSCRY_WINE_GUI_SKIPPED_test_scan_devsim
    ScanAgainstSimulator.ListsEachDeviceOnceByNameWithTheUnreachableMarked
    ScanAgainstSimulator.SelectionSurvivesARescanAndFollowsTheMark)
set(NETSCRY_WINE_GUI_SKIPPED_test_listcommands_devsim
    ListCommands.FilterShowsMatchingRowsInOrderAndCountsTheUnreachable
    ListCommands.ScanRowsAreFilteredAndEscShowsEveryRowInTheWindowAsBefore)
set(NETSCRY_WINE_GUI_SKIPPED_test_ipcommands_devsim
    IPCommands.ApplyWritesTheTypedSettingsAndTheRescanListsTheNewAddress
    IPCommands.AutoIPGivesAnUnreachableDeviceAFreeAddressAndIgnoresTheAckInTheDialog)
# An applied device must answer the probe at its new address: never under
# Wine, as above.
set(NETSCRY_WINE_GUI_SKIPPED_test_addressplan
    AddressPlan.ApplyMovesTheDevicesRollsBackTheOneThatVanishesAndSavesTheResults)
set(NETSCRY_WINE_GUI_SKIPPED_test_upgrade_devsim UpgradeDevsim.DevicesOutcomesReachTheUser)
# likewise: the fleet's uploads go to on-link devices of the Windows simulator
set(NETSCRY_WINE_GUI_SKIPPED_test_fleetupgrade
    FleetUpgradeDevsim.TenDevicesRightOutcomesWhileTheLoopTurns
    FleetUpgradeDevsim.EnterOnAFocusedButtonDoesItsAction)
set(NETSCRY_WINE_GUI_SKIPPED_test_dialog_keys DialogKeys.UpgradeDialogsFocusedButtonTakesEnterAndOnlyUpgradeSends)
# Qt's font database stays empty in the test programs under Wine (not in
# the program itself, whose screenshots show its fonts), so every glyph is
# as wide as the font is high and clicks land in other places.
set(NETSCRY_WINE_GUI_SKIPPED_test_address_fields
    AddressField.AClickPutsTheCaretAtAGroupStartAndNothingTypedIsLost
    AddressField.ADotMovesToTheNextGroupOnlyFromInsideAGroup
    AddressFields.EveryAddressFieldOfTheIPDialogPlacesTheCaret)
# Qt's own file dialog, which the test drives, reads "*.*" literally; the
# Windows dialog that users get lists every file for it.
set(NETSCRY_WINE_GUI_SKIPPED_test_upgrade_form UpgradeFormTest.AllFilesListsFilesWithoutADot)
# the version note of Linux program files (Windows reads the version
# resource, which test_win32_layer and the About tests check)
set(NETSCRY_WINE_GUI_SKIPPED_test_about ReadFileVersion.FindsTheVersionNoteInAnyElfLayoutAndRefusesDamage)

# Not run under Wine, and why:
set(NETSCRY_LINUX_ONLY_GUI_TESTS
    "test_single_instance: the real program on X servers of its own; under Wine the installer test starts the installed program twice instead"
    "test_command_line: the real program on an X server of its own, with stand-in programs as shell scripts on PATH"
    "test_desktop_programs: stand-in desktop programs as shell scripts on PATH"
    "test_autoip_netns: a LAN of network namespaces, veth pairs and a bridge"
    "test_keepscanning_netns: a LAN of network namespaces whose devices come, move, go silent and go"
    "test_sitecommands_netns: LANs of network namespaces, a router among them"
    "test_networkdiagnosis_netns: a LAN of network namespaces, and netscry-cli doctor run beside the window"
    "test_session: Auto IP must make a device reachable, which under Wine the Windows simulator's device never is (see the skipped cases below)"
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
