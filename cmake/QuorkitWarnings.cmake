# One place for the warning policy: the library builds warning-free on both targets.
function(quorkit_strict_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()
