# SPDX-License-Identifier: MIT
# The program's Win32 layer without Qt, run under Wine (run-win32-layer.sh);
# the test program carries a version resource of its own.
if(TARGET netscry_win32)
    include(NetscryVersionResource)
    add_executable(win32_layer_test win32_layer_test.cpp)
    netscry_version_resource(win32_layer_test "Netscry Win32 layer test")
    netscry_version_parts()
    target_compile_definitions(win32_layer_test PRIVATE
        NETSCRY_VERSION_MAJOR=${NETSCRY_VERSION_MAJOR} NETSCRY_VERSION_MINOR=${NETSCRY_VERSION_MINOR}
        NETSCRY_VERSION_PATCH=${NETSCRY_VERSION_PATCH} NETSCRY_VERSION_TWEAK=${NETSCRY_VERSION_TWEAK}
        NETSCRY_VERSION_TEXT="${NETSCRY_VERSION_MAJOR}.${NETSCRY_VERSION_MINOR}.${NETSCRY_VERSION_PATCH}.${NETSCRY_VERSION_TWEAK}"
        NETSCRY_ABOUT_TEXT="${NETSCRY_VERSION_MAJOR}.4.${NETSCRY_VERSION_PATCH} build ${NETSCRY_VERSION_TWEAK}")
    target_link_libraries(win32_layer_test PRIVATE netscry_win32)
    if(MINGW)
        target_link_options(win32_layer_test PRIVATE -static)
    endif()
endif()
