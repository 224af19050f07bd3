# Debian packages of the build, made with `cpack -G DEB` in the build folder (see
# scripts/check-packages.sh). The architecture is the build's: amd64 natively, armhf with
# cmake/armhf-toolchain.cmake.
#
#   kelvane-plugin  libkelvane.so in KELVANE_PLUGIN_INSTALL_DIR (/usr/lib/kelvane by default), for
#                   the flight computer: Qt 5.7.1 and a 2017 runtime or anything newer.
#   kelvane-tools   kelvane-host and kelvane-scope, for Debian 12 (bookworm).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kelvane)
set(CPACK_PACKAGE_VENDOR "libkelvane")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "libkelvane developers")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL plugin)
if(KELVANE_BUILD_TOOLS)
  list(APPEND CPACK_COMPONENTS_ALL tools)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
endif()

set(CPACK_DEBIAN_PLUGIN_PACKAGE_NAME kelvane-plugin)
set(CPACK_COMPONENT_PLUGIN_DESCRIPTION "Kelvane echo sounder simulator, payload plug-in
libkelvane.so plays an echo sounder at the far end of a serial line for the flight computer's
host application, which loads it by the interface id com.vorn.talvik.ipayloadplugin.")
# Qt refuses a plug-in built for a newer minor version than its own; the metadata says 5.7.1.
# Qt's symbols, glibc's and the C++ runtime's are held to that by scripts/abi-audit.sh.
set(CPACK_DEBIAN_PLUGIN_PACKAGE_DEPENDS
    "libqt5core5a (>= 5.7.1), libqt5serialport5 (>= 5.7.1), libc6 (>= 2.24), libstdc++6 (>= 6), libgcc-s1 | libgcc1")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME kelvane-tools)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "Kelvane echo sounder simulator, host runner and scope
kelvane-host runs the plug-in the way the flight computer does, on a pty pair of its own whose
line it paces, corrupts and records on demand, or on a serial device; kelvane-scope decodes what
it writes and draws the echogram.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS
    "libqt5core5a (>= 5.15.1), libqt5gui5 (>= 5.15.1) | libqt5gui5-gles (>= 5.15.1), libqt5serialport5 (>= 5.15.1), libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1")
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS kelvane-plugin)

# Each package says in /usr/share/doc/PACKAGE/copyright whose it is and under what terms.
foreach(_component plugin tools)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/packaging/copyright
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/kelvane-${_component}
          COMPONENT ${_component})
endforeach()
# The tools' reference, named by their manual pages: the settings and commands, and the line.
install(FILES ${PROJECT_SOURCE_DIR}/docs/reference.md ${PROJECT_SOURCE_DIR}/docs/line.md
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/kelvane-tools COMPONENT tools)

include(CPack)
