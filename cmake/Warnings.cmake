# Every target of ours is built with the same strict warnings.
function(pixolune_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()
