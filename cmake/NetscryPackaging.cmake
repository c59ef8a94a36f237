# SPDX-License-Identifier: MIT
# Debian packages from CPack (cpack -G DEB in the build tree):
#   netscry           the programs, desktop data, man pages, the dissector
#   libtarvextvp<N>   the TVP library
#   libtarvextvp-dev  its header, development link, pkg-config and CMake files
# Library dependencies are computed by dpkg-shlibdeps; what the program runs
# (ip, xdg-open, a terminal with telnet) and loads (Qt's SVG plugins) is
# declared here, since no linker sees it.

include(GNUInstallDirs)

set(NETSCRY_MAINTAINER "Netscry developers <netscry@tarvex.com>" CACHE STRING
    "Maintainer named in the Debian packages and their changelogs")

set(_lib_package libtarvextvp${TARVEXTVP_SOVERSION})
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    message(STATUS "Debian packages: configure with -DCMAKE_INSTALL_PREFIX=/usr "
        "for Debian's library folders (now ${CMAKE_INSTALL_PREFIX})")
endif()
set(_version ${PROJECT_VERSION})
set(_deb_out ${PROJECT_BINARY_DIR}/packaging/deb)

# Debian wants a copyright file and a compressed changelog in each package's
# documentation folder.
set(_components netscry library development)
set(_packages netscry ${_lib_package} libtarvextvp-dev)
foreach(component package IN ZIP_LISTS _components _packages)
    file(MAKE_DIRECTORY ${_deb_out}/${package})
    configure_file(${PROJECT_SOURCE_DIR}/packaging/copyright.in
        ${_deb_out}/${package}/copyright @ONLY)
    set(PACKAGE ${package})
    configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.Debian.in
        ${_deb_out}/${package}/changelog.Debian @ONLY)
    add_custom_command(OUTPUT ${_deb_out}/${package}/changelog.Debian.gz
        COMMAND ${NETSCRY_GZIP} -9n -c ${_deb_out}/${package}/changelog.Debian
            > ${_deb_out}/${package}/changelog.Debian.gz
        DEPENDS ${_deb_out}/${package}/changelog.Debian
        COMMENT "Compressing the Debian changelog of ${package}")
    list(APPEND _deb_docs ${_deb_out}/${package}/changelog.Debian.gz)
    install(FILES ${_deb_out}/${package}/copyright ${_deb_out}/${package}/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
        COMPONENT ${component})
endforeach()
add_custom_target(netscry_deb_docs ALL DEPENDS ${_deb_docs})
unset(_deb_docs)
unset(_components)
unset(_packages)
unset(PACKAGE)

set(CPACK_PACKAGE_NAME netscry)
set(CPACK_PACKAGE_VENDOR Tarvex)
set(CPACK_PACKAGE_VERSION ${_version})
set(CPACK_PACKAGE_CONTACT "${NETSCRY_MAINTAINER}")
# No package-wide summary: CPack would put it above every package's own.
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_INSTALL_DIRECTORY netscry)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_GENERATOR DEB)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR}/packages)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL netscry library development)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Debian revision 1 of the upstream version; the changelogs carry the same.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${NETSCRY_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${NETSCRY_HOMEPAGE}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The programs link the TVP library of the package beside them; its package
# dependency comes from the component dependency below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

set(CPACK_DEBIAN_NETSCRY_PACKAGE_NAME netscry)
set(CPACK_DEBIAN_NETSCRY_PACKAGE_SECTION net)
# Qt loads the SVG image and icon plugins at run time (About emblem, window
# icon); the device actions run ip, xdg-open (web page), a terminal with
# telnet and the desktop's network settings.
set(CPACK_DEBIAN_NETSCRY_PACKAGE_DEPENDS "libqt6svg6, iproute2, xdg-utils")
set(CPACK_DEBIAN_NETSCRY_PACKAGE_RECOMMENDS "telnet | inetutils-telnet, x-terminal-emulator")
set(CPACK_DEBIAN_NETSCRY_PACKAGE_SUGGESTS
    "network-manager-gnome | gnome-control-center | systemsettings, wireshark | tshark")
# First line: the synopsis; an empty line separates paragraphs.
set(CPACK_DEBIAN_NETSCRY_DESCRIPTION
"find and configure the TVP devices on the local network
Netscry finds every embedded network device that speaks the Tarvex device
protocol (TVP) on each of the PC's network cards and lists them with name,
type, IP address, ID and interface, marking those the PC cannot reach at
their address. For the selected device it reads and changes the IP
settings (DHCP or static), gives an unreachable device a free address,
upgrades its firmware over TFTP and opens its web page or a telnet session.

The package also holds netscry-cli for scripts, the device simulator
tvp-devsim and a Wireshark dissector for the protocol.")

set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME ${_lib_package})
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
# dpkg runs ldconfig once per transaction through this trigger.
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/triggers)
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION
"Tarvex device protocol (TVP) library
The library finds the devices that speak the Tarvex device protocol on
the local network, reads and changes their IP settings, checks whether
they are reachable and uploads firmware to them over TFTP.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libtarvextvp-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
"Tarvex device protocol (TVP) library - development files
The header tvp.h, the development link, a pkg-config file and a CMake
package (find_package(tarvextvp), target tarvextvp::tarvextvp) for
programs that use the TVP library.")

include(CPack)

cpack_add_component(library DISPLAY_NAME "TVP library")
cpack_add_component(development DISPLAY_NAME "TVP library development files" DEPENDS library)
cpack_add_component(netscry DISPLAY_NAME "Netscry" DEPENDS library)

unset(_lib_package)
unset(_version)
unset(_deb_out)
