# When cross-compiling against a foreign sysroot, Qt's CMake files point Qt5::moc (and rcc,
# uic) at the sysroot's ARM binaries. Run the build machine's tools instead: Qt's own bin
# folder first, since /usr/bin/moc is qtchooser's wrapper and follows its default Qt. A Qt from
# outside the sysroot (the flight computer's 5.7.1) brings tools for the build machine: its moc
# writes what its headers expect, and stays.
if(CMAKE_CROSSCOMPILING)
  foreach(tool moc rcc uic)
    if(TARGET Qt5::${tool})
      get_target_property(location Qt5::${tool} IMPORTED_LOCATION)
      string(FIND "${location}" "${CMAKE_SYSROOT}/" inSysroot)
      if(NOT inSysroot EQUAL 0)
        continue()
      endif()
      string(TOUPPER ${tool} upper)
      find_program(KELVANE_HOST_${upper} NAMES ${tool}
                   PATHS /usr/lib/qt5/bin /usr/lib/x86_64-linux-gnu/qt5/bin
                   NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
      find_program(KELVANE_HOST_${upper} NAMES ${tool}-qt5 ${tool} NO_CMAKE_FIND_ROOT_PATH)
      if(KELVANE_HOST_${upper})
        set_target_properties(Qt5::${tool} PROPERTIES IMPORTED_LOCATION ${KELVANE_HOST_${upper}})
      else()
        message(WARNING "No build-machine ${tool} found; Qt5::${tool} stays the sysroot's")
      endif()
    endif()
  endforeach()
endif()
