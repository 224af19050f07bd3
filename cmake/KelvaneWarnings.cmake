# Warning flags shared by every target of the project.
add_library(kelvane_warnings INTERFACE)
target_compile_options(kelvane_warnings INTERFACE -Wall -Wextra)
if(KELVANE_WERROR)
  target_compile_options(kelvane_warnings INTERFACE -Werror)
endif()
# Strict string handling, as in Qt's own modules.
target_compile_definitions(kelvane_warnings INTERFACE
  QT_NO_CAST_TO_ASCII QT_NO_URL_CAST_FROM_STRING
  QT_NO_FOREACH QT_DISABLE_DEPRECATED_BEFORE=0x050F00)
