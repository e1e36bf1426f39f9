# Warnings for every target of the project; -Werror only where the caller asks for it.
function(tarnlink_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                             -Wsign-conversion)
  endif()
endfunction()
