# quorkit_place_dbghelp_beside(target): a program that walks stacks needs the Linux dbghelp.dll
# beside it (the loader looks there first and refuses the system directory's copy), and exports
# its symbols so that the loaded module resolves the PAL from the program. No-op on Windows,
# where dbghelp.dll is the system's.
function(quorkit_place_dbghelp_beside target)
  set_target_properties(${target} PROPERTIES ENABLE_EXPORTS ON)
  if(TARGET dbghelp)
    add_dependencies(${target} dbghelp)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:dbghelp> $<TARGET_FILE_DIR:${target}>/)
  endif()
endfunction()
