# SPDX-License-Identifier: MIT
# Windows: what ships, in one folder, and the two ways it reaches users.
#   windows-deploy    the folder deploy/netscry-VERSION-win64: the programs,
#                     tarvextvp.dll, the Qt DLLs and the plugins Qt loads,
#                     the compiler's runtime; nothing else
#   windows-setup     netscry-VERSION-win64-setup.exe, the NSIS installer of
#                     that folder (packaging/windows/netscry.nsi)
#   windows-zip       netscry-VERSION-win64.zip, the folder to unpack anywhere
#   windows-packages  both
# The folder is `cmake --install` of three components: netscry (the
# programs), library (the DLL) and runtime (below).

# The Qt DLLs the program links, the platform plugin Qt loads at start and
# the native style; PNG and the other image formats the program uses are
# built into Qt Gui.
install(IMPORTED_RUNTIME_ARTIFACTS Qt6::Core Qt6::Gui Qt6::Widgets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(IMPORTED_RUNTIME_ARTIFACTS Qt6::QWindowsIntegrationPlugin
    LIBRARY DESTINATION ${CMAKE_INSTALL_BINDIR}/platforms COMPONENT runtime)
install(IMPORTED_RUNTIME_ARTIFACTS Qt6::QWindowsVistaStylePlugin
    LIBRARY DESTINATION ${CMAKE_INSTALL_BINDIR}/styles COMPONENT runtime)

# Qt is built against the compiler's shared runtime, and so is the program:
# an exception crossing Qt's frames needs one unwinder on both sides.
if(MINGW)
    foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
            OUTPUT_VARIABLE _dll OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(NOT IS_ABSOLUTE "${_dll}" OR NOT EXISTS "${_dll}")
            message(FATAL_ERROR "${CMAKE_CXX_COMPILER} has no ${dll} to ship beside the program")
        endif()
        file(REAL_PATH "${_dll}" _dll)
        install(FILES ${_dll} DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
    endforeach()
    unset(_dll)
endif()

# Stripped like the programs when the install strips (--strip): Qt's
# release DLLs and the compiler's runtime carry symbols users do not need.
if(CMAKE_STRIP)
    install(CODE "
        if(CMAKE_INSTALL_DO_STRIP)
            file(GLOB_RECURSE _dlls \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/*.dll\")
            foreach(_dll IN LISTS _dlls)
                execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded \"\${_dll}\" COMMAND_ERROR_IS_FATAL ANY)
            endforeach()
        endif()" COMPONENT runtime)
endif()

set(NETSCRY_WINDOWS_NAME netscry-${PROJECT_VERSION}-win64)
set(NETSCRY_DEPLOY_DIR ${PROJECT_BINARY_DIR}/deploy/${NETSCRY_WINDOWS_NAME})
set(NETSCRY_SETUP ${PROJECT_BINARY_DIR}/${NETSCRY_WINDOWS_NAME}-setup.exe)
set(NETSCRY_ZIP ${PROJECT_BINARY_DIR}/${NETSCRY_WINDOWS_NAME}.zip)

set(_install)
foreach(component netscry library runtime)
    list(APPEND _install COMMAND ${CMAKE_COMMAND} --install ${PROJECT_BINARY_DIR}
        --prefix ${NETSCRY_DEPLOY_DIR} --component ${component} --strip)
endforeach()
add_custom_target(windows-deploy
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${NETSCRY_DEPLOY_DIR}
    ${_install}
    COMMENT "Deployment folder ${NETSCRY_DEPLOY_DIR}"
    VERBATIM)
add_dependencies(windows-deploy netscry netscry-cli tvp-devsim tarvextvp)
unset(_install)

find_program(NETSCRY_MAKENSIS makensis)
get_property(_ico GLOBAL PROPERTY NETSCRY_WINDOWS_ICON)
set(_nsis ${PROJECT_BINARY_DIR}/nsis)
if(NETSCRY_MAKENSIS)
    set(_makensis ${NETSCRY_MAKENSIS} -V2 -NOCD
        -DVERSION=${PROJECT_VERSION} -DPUBLISHER=Tarvex
        -DICON=${_ico} -DOUTFILE=${NETSCRY_SETUP}
        -DINSTALL_FILES=${_nsis}/install-files.nsh -DREMOVE_FILES=${_nsis}/remove-files.nsh
        ${PROJECT_SOURCE_DIR}/packaging/windows/netscry.nsi)
else()
    set(_makensis ${CMAKE_COMMAND} -E echo "makensis not found (package nsis): no setup program"
        COMMAND ${CMAKE_COMMAND} -E false)
endif()
add_custom_target(windows-setup
    COMMAND ${CMAKE_COMMAND} -DDEPLOY_DIR=${NETSCRY_DEPLOY_DIR} -DOUT_DIR=${_nsis}
        -P ${PROJECT_SOURCE_DIR}/cmake/NetscryNsisFiles.cmake
    COMMAND ${_makensis}
    COMMENT "Setup program ${NETSCRY_SETUP}"
    VERBATIM)
add_dependencies(windows-setup windows-deploy)
unset(_makensis)
unset(_nsis)
unset(_ico)

add_custom_target(windows-zip
    COMMAND ${CMAKE_COMMAND} -E rm -f ${NETSCRY_ZIP}
    COMMAND ${CMAKE_COMMAND} -E tar cf ${NETSCRY_ZIP} --format=zip ${NETSCRY_WINDOWS_NAME}
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/deploy
    COMMENT "Portable folder ${NETSCRY_ZIP}"
    VERBATIM)
add_dependencies(windows-zip windows-deploy)

add_custom_target(windows-packages)
add_dependencies(windows-packages windows-setup windows-zip)
