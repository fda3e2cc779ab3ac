# Our own targets build warning-free; third-party headers come in as system headers.
function(navkeypad_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()
