# Wayland protocol code generated at build time by wayland-scanner from the
# protocol's XML as Debian ships it.

pkg_get_variable(WAYLAND_SCANNER wayland-scanner wayland_scanner)
if(NOT WAYLAND_SCANNER)
  message(FATAL_ERROR "wayland-scanner not found (Debian: libwayland-dev)")
endif()

# The wlroots output-management protocol. Debian ships its XML with the
# Rust crate of the Wayland protocols; the newest one found is used.
file(GLOB _wlr_output_management_xml
     /usr/share/cargo/registry/wayland-protocols-*/wlr-protocols/unstable/wlr-output-management-unstable-v1.xml)
list(SORT _wlr_output_management_xml COMPARE NATURAL ORDER DESCENDING)
list(GET _wlr_output_management_xml 0 _newest)
set(WLR_OUTPUT_MANAGEMENT_XML "${_newest}" CACHE FILEPATH
    "wlr-output-management-unstable-v1.xml (Debian: librust-wayland-protocols-dev)")
if(NOT EXISTS "${WLR_OUTPUT_MANAGEMENT_XML}")
  message(FATAL_ERROR "wlr-output-management-unstable-v1.xml not found "
                      "(Debian: librust-wayland-protocols-dev)")
endif()

# KDE's output devices and their order, from Debian's plasma-wayland-protocols.
foreach(protocol kde-output-device-v2 kde-output-order-v1)
  string(TOUPPER "${protocol}" variable)
  string(REGEX REPLACE "-V[0-9]+$" "" variable "${variable}")
  string(REPLACE "-" "_" variable "${variable}")
  find_file(${variable}_XML ${protocol}.xml
            PATHS /usr/share/plasma-wayland-protocols NO_DEFAULT_PATH)
  if(NOT ${variable}_XML)
    message(FATAL_ERROR "${protocol}.xml not found (Debian: plasma-wayland-protocols)")
  endif()
endforeach()

# A static library `target` with the protocol's code for `xml` and its
# `<name>-<side>-protocol.h` (side: client or server), generated in the
# current binary folder; what links it sees the header.
function(wayland_protocol_library target side xml)
  get_filename_component(name "${xml}" NAME_WE)
  set(header "${CMAKE_CURRENT_BINARY_DIR}/${name}-${side}-protocol.h")
  set(code "${CMAKE_CURRENT_BINARY_DIR}/${name}-protocol.c")
  add_custom_command(
    OUTPUT "${header}"
    COMMAND "${WAYLAND_SCANNER}" ${side}-header "${xml}" "${header}"
    DEPENDS "${xml}" VERBATIM)
  add_custom_command(
    OUTPUT "${code}"
    COMMAND "${WAYLAND_SCANNER}" private-code "${xml}" "${code}"
    DEPENDS "${xml}" VERBATIM)
  add_library(${target} STATIC "${code}" "${header}")
  target_include_directories(${target} PUBLIC "${CMAKE_CURRENT_BINARY_DIR}")
endfunction()
