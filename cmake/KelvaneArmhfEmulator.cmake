# The armhf build runs its tests under qemu-arm-static through cmake/armhf/armhf-run.sh, with a
# small preloaded library that keeps QProcess working there (see cmake/armhf/qemu-preload.cpp).
# Included after find_package(Qt5); does nothing unless cmake/armhf-toolchain.cmake is in use.
#
# The ARM programs' root is the sysroot, or KELVANE_ARMHF_RUNROOT: a build against a Qt from
# outside the sysroot runs in a root holding only the C and C++ run-time, with that Qt's lib
# folder in LD_LIBRARY_PATH, so that the sysroot's Qt cannot stand in for it.
if(CMAKE_CROSSCOMPILING AND KELVANE_ARMHF_SYSROOT AND KELVANE_QEMU_ARM)
  set(KELVANE_ARMHF_RUNROOT "${KELVANE_ARMHF_SYSROOT}" CACHE PATH
      "Root of the ARM programs under qemu: the sysroot, or one with the C/C++ run-time alone")
  add_library(kelvane_qemu_preload SHARED ${CMAKE_CURRENT_LIST_DIR}/armhf/qemu-preload.cpp)
  set_target_properties(kelvane_qemu_preload PROPERTIES
    OUTPUT_NAME kelvane-qemu-preload
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/armhf-qemu
    CXX_VISIBILITY_PRESET default)
  target_link_libraries(kelvane_qemu_preload PRIVATE ${CMAKE_DL_LIBS} kelvane_warnings)
  # Every target made after this point runs through the wrapper (add_test, add_custom_command).
  set(CMAKE_CROSSCOMPILING_EMULATOR
      "${CMAKE_CURRENT_LIST_DIR}/armhf/armhf-run.sh;${KELVANE_ARMHF_RUNROOT};${CMAKE_BINARY_DIR}/armhf-qemu/libkelvane-qemu-preload.so")
endif()
