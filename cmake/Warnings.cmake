# Warnings for the project's own targets; linked through veska_warnings.
add_library(veska_warnings INTERFACE)
target_compile_options(veska_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow
  -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Woverloaded-virtual)
if(VESKA_WERROR)
  target_compile_options(veska_warnings INTERFACE -Werror)
endif()
