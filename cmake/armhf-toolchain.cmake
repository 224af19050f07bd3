# Cross-compiling for ARMv7 hard-float (Debian armhf) with the build machine's
# arm-linux-gnueabihf-g++ against the sysroot that scripts/armhf-sysroot.sh makes.
# ctest then runs the tests under qemu-arm-static with that sysroot as the ARM root.
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake
#
# The sysroot is -DKELVANE_ARMHF_SYSROOT=..., else $KELVANE_ARMHF_SYSROOT, else .sysroot/armhf.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)

if(NOT KELVANE_ARMHF_SYSROOT)
  if(DEFINED ENV{KELVANE_ARMHF_SYSROOT} AND NOT "$ENV{KELVANE_ARMHF_SYSROOT}" STREQUAL "")
    set(KELVANE_ARMHF_SYSROOT "$ENV{KELVANE_ARMHF_SYSROOT}")
  else()
    get_filename_component(KELVANE_ARMHF_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../.sysroot/armhf"
                           ABSOLUTE)
  endif()
endif()
if(NOT EXISTS "${KELVANE_ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf/libQt5Core.so")
  message(FATAL_ERROR "No armhf sysroot at ${KELVANE_ARMHF_SYSROOT}: run scripts/armhf-sysroot.sh")
endif()
# try_compile() projects read this file again: hand the sysroot on to them.
set(ENV{KELVANE_ARMHF_SYSROOT} "${KELVANE_ARMHF_SYSROOT}")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KELVANE_ARMHF_SYSROOT)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_SYSROOT "${KELVANE_ARMHF_SYSROOT}")

# Libraries, headers and CMake packages come from the sysroot only; programs run during the
# build (moc, the compilers) from the build machine. A CMAKE_PREFIX_PATH given on the command line
# names armhf packages outside the sysroot instead, such as the flight computer's Qt 5.7.1: they
# are found where they are, and the sysroot's own Qt is not looked at.
set(CMAKE_FIND_ROOT_PATH "${KELVANE_ARMHF_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
if(NOT "$CACHE{CMAKE_PREFIX_PATH}" STREQUAL "")
  set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE NEVER)
else()
  set(CMAKE_PREFIX_PATH /usr/lib/arm-linux-gnueabihf/cmake)
  set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
endif()

# pkg-config (cpp-httplib) reads the sysroot's .pc files, and gives their paths inside it.
set(ENV{PKG_CONFIG_DIR} "")
set(ENV{PKG_CONFIG_LIBDIR}
    "${KELVANE_ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf/pkgconfig:${KELVANE_ARMHF_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${KELVANE_ARMHF_SYSROOT}")

# The sysroot's libraries link each other by their multiarch paths; the cross linker looks
# there only when told to.
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-Wl,-rpath-link,${KELVANE_ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${CMAKE_EXE_LINKER_FLAGS_INIT}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${CMAKE_EXE_LINKER_FLAGS_INIT}")

# ctest and add_custom_command() run ARM programs through the emulator. qemu-arm-static -L
# makes the sysroot the ARM programs' root for their loader, libraries and Qt plug-ins; the
# build machine's files show through wherever the sysroot has none. This project replaces it
# with cmake/armhf/armhf-run.sh (KelvaneArmhfEmulator.cmake): bare qemu breaks QProcess.
find_program(KELVANE_QEMU_ARM NAMES qemu-arm-static qemu-arm)
if(KELVANE_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${KELVANE_QEMU_ARM};-L;${KELVANE_ARMHF_SYSROOT}")
endif()
