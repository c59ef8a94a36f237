# SPDX-License-Identifier: MIT
# The setup program's file lists, from the deployment folder (script mode):
#   cmake -DDEPLOY_DIR=folder -DOUT_DIR=dir -P NetscryNsisFiles.cmake
# install-files.nsh puts every file of the folder under $INSTDIR;
# remove-files.nsh takes exactly those files and their folders away again,
# so that the uninstaller removes nothing it did not install.

file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${DEPLOY_DIR} ${DEPLOY_DIR}/*)
if(NOT files)
    message(FATAL_ERROR "nothing to install in ${DEPLOY_DIR}")
endif()
list(SORT files)
set(install "")
set(remove "")
set(folders)
set(current "-")
foreach(file IN LISTS files)
    get_filename_component(folder "${file}" DIRECTORY)
    string(REPLACE "/" "\\" winfile "${file}")
    string(REPLACE "/" "\\" winfolder "${folder}")
    if(NOT folder STREQUAL current)
        set(current "${folder}")
        if(folder STREQUAL "")
            string(APPEND install "SetOutPath \"$INSTDIR\"\n")
        else()
            string(APPEND install "SetOutPath \"$INSTDIR\\${winfolder}\"\n")
            # and every folder above it
            set(up "${folder}")
            while(NOT up STREQUAL "")
                string(REPLACE "/" "\\" winup "${up}")
                list(APPEND folders "${winup}")
                get_filename_component(up "${up}" DIRECTORY)
            endwhile()
        endif()
    endif()
    string(APPEND install "File \"${DEPLOY_DIR}/${file}\"\n")
    string(APPEND remove "Delete \"$INSTDIR\\${winfile}\"\n")
endforeach()
# the deepest folders first: a folder goes once it is empty
list(REMOVE_DUPLICATES folders)
list(SORT folders ORDER DESCENDING)
foreach(folder IN LISTS folders)
    string(APPEND remove "RMDir \"$INSTDIR\\${folder}\"\n")
endforeach()
string(APPEND install "SetOutPath \"$INSTDIR\"\n")
file(WRITE ${OUT_DIR}/install-files.nsh "${install}")
file(WRITE ${OUT_DIR}/remove-files.nsh "${remove}")
