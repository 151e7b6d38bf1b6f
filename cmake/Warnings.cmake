# Strict warnings for the project's own targets only; third-party headers are
# included as system headers and stay quiet.
add_library(ww_warnings INTERFACE)
target_compile_options(ww_warnings INTERFACE -Wall -Wextra -Werror)

function(ww_strict target)
  target_link_libraries(${target} PRIVATE ww_warnings)
endfunction()
