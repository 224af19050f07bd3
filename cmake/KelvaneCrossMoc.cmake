# When cross-compiling against a foreign sysroot, Qt's CMake files point Qt5::moc at the
# sysroot's (ARM) binary. Run the build machine's moc instead.
if(CMAKE_CROSSCOMPILING AND TARGET Qt5::moc)
  find_program(KELVANE_HOST_MOC NAMES moc-qt5 moc
               PATHS /usr/lib/qt5/bin /usr/lib/x86_64-linux-gnu/qt5/bin NO_CMAKE_FIND_ROOT_PATH)
  if(KELVANE_HOST_MOC)
    set_target_properties(Qt5::moc PROPERTIES IMPORTED_LOCATION ${KELVANE_HOST_MOC})
  endif()
endif()
