# SPDX-License-Identifier: MIT
# The version record of a program file, made from the project version (the
# one source of the number); the About window reads it back.

# The four parts of the project version in NETSCRY_VERSION_MAJOR, _MINOR,
# _PATCH and _TWEAK of the caller's scope; a part not given is 0.
#   netscry_version_parts()
macro(netscry_version_parts)
    foreach(part MAJOR MINOR PATCH TWEAK)
        set(NETSCRY_VERSION_${part} ${PROJECT_VERSION_${part}})
        if(NETSCRY_VERSION_${part} STREQUAL "")
            set(NETSCRY_VERSION_${part} 0)
        endif()
    endforeach()
endmacro()

# A Windows program's version resource.
#   netscry_version_resource(TARGET DESCRIPTION [ICON file.ico])
# The icon, when given, is the program file's icon (Explorer, the taskbar)
# and its windows' icon: Qt's windows take the resource named IDI_ICON1.
function(netscry_version_resource target description)
    cmake_parse_arguments(V "" "ICON" "" ${ARGN})
    netscry_version_parts()
    set(NETSCRY_VERSION_DESCRIPTION ${description})
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc)
    if(V_ICON)
        set(NETSCRY_ICON_LINE "IDI_ICON1 ICON \"${V_ICON}\"")
    else()
        set(NETSCRY_ICON_LINE "")
    endif()
    file(CONFIGURE OUTPUT ${rc} @ONLY CONTENT [=[
#include <winver.h>
@NETSCRY_ICON_LINE@
1 VERSIONINFO
FILEVERSION @NETSCRY_VERSION_MAJOR@,@NETSCRY_VERSION_MINOR@,@NETSCRY_VERSION_PATCH@,@NETSCRY_VERSION_TWEAK@
PRODUCTVERSION @NETSCRY_VERSION_MAJOR@,@NETSCRY_VERSION_MINOR@,0,0
FILEOS VOS__WINDOWS32
FILETYPE VFT_APP
BEGIN
    BLOCK "StringFileInfo"
    BEGIN
        BLOCK "040904E4"
        BEGIN
            VALUE "CompanyName", "Tarvex\0"
            VALUE "FileDescription", "@NETSCRY_VERSION_DESCRIPTION@\0"
            VALUE "FileVersion", "@NETSCRY_VERSION_MAJOR@.@NETSCRY_VERSION_MINOR@.@NETSCRY_VERSION_PATCH@.@NETSCRY_VERSION_TWEAK@\0"
            VALUE "ProductName", "@PROJECT_NAME@\0"
            VALUE "ProductVersion", "@NETSCRY_VERSION_MAJOR@.@NETSCRY_VERSION_MINOR@\0"
        END
    END
    BLOCK "VarFileInfo"
    BEGIN
        VALUE "Translation", 0x409, 1252
    END
END
]=])
    target_sources(${target} PRIVATE ${rc})
    if(V_ICON)
        set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${V_ICON})
    endif()
endfunction()
