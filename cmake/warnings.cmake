# Warnings are errors in both builds.
if(MSVC)
  add_compile_options(/W4 /WX /utf-8 /Zc:externConstexpr)
else()
  add_compile_options(-Wall -Wextra -Werror)
endif()
