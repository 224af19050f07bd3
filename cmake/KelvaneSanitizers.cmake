# ASan + UBSan for the whole tree. Qt 5 is built with -reduce-relocations, which wants
# position-independent code rather than PIE executables under the sanitizers.
if(KELVANE_SANITIZE)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer -fPIC)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
endif()
