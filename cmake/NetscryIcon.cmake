# SPDX-License-Identifier: MIT
# The application icon: the About window's emblem centred on a square tile,
# made from forms/images/emblem.svg at configure time so the two never drift
# apart. Sets NETSCRY_APP_ID (the reverse-DNS name of the desktop entry and
# icon) and NETSCRY_ICON_SVG (the icon file in the build tree).

set(NETSCRY_APP_ID com.tarvex.Netscry)
set(NETSCRY_ICON_SVG ${PROJECT_BINARY_DIR}/packaging/${NETSCRY_APP_ID}.svg)

set(_emblem_file ${PROJECT_SOURCE_DIR}/forms/images/emblem.svg)
set(_tile_file ${PROJECT_SOURCE_DIR}/packaging/icon-tile.svg.in)
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY
    CMAKE_CONFIGURE_DEPENDS ${_emblem_file} ${_tile_file})
file(READ ${_emblem_file} _emblem)
# The emblem's own root element goes; its drawing goes into the tile.
string(REGEX REPLACE "<\\?xml[^>]*>" "" _emblem "${_emblem}")
string(REGEX REPLACE "<svg[^>]*>" "" _emblem "${_emblem}")
string(REGEX REPLACE "</svg>[ \t\r\n]*$" "" _emblem "${_emblem}")
file(READ ${_tile_file} _tile)
string(REPLACE "@EMBLEM@" "${_emblem}" _tile "${_tile}")
file(CONFIGURE OUTPUT ${NETSCRY_ICON_SVG} CONTENT "${_tile}")
unset(_emblem)
unset(_tile)
unset(_emblem_file)
unset(_tile_file)
