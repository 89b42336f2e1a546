# Compiler warnings for every target of the project.
option(QG_WERROR "Treat warnings as errors" OFF)
add_compile_options(-Wall -Wextra -Wpedantic -Wshadow)
if(QG_WERROR)
  add_compile_options(-Werror)
endif()
