# Runs examples/leaks and checks its leak report: exactly three entries, each the allocation of a
# block the program forgot (by operation, size and region) with the program's own frames in its
# stack, and none of the blocks it released.
#   -DPROGRAM=path/to/leaks [-DEMULATOR=qemu-i386]
get_filename_component(dir "${PROGRAM}" DIRECTORY)
set(report "${PROGRAM}.memleak.TXT")
file(REMOVE "${report}")
execute_process(COMMAND ${EMULATOR} "${PROGRAM}" WORKING_DIRECTORY "${dir}"
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "leaks exited with ${rc}:\n${out}${err}")
endif()
if(NOT out MATCHES "still allocated: 3 blocks, 172 bytes")
  message(FATAL_ERROR "unexpected summary from the program:\n${out}")
endif()
file(READ "${report}" text)
string(REGEX MATCHALL "<<[a-z_]+>>: {0x[0-9A-F]+} 0x[0-9A-Fa-f]+, [0-9]+ bytes\\. region 0x[0-9A-F]+" entries "${text}")
list(LENGTH entries count)
if(NOT count EQUAL 3)
  message(FATAL_ERROR "expected 3 report entries, found ${count}:\n${text}")
endif()
# The token (new, stored under realloc's code), the last word's copy, the first bucket table.
set(expected "<<realloc>>: .* 28 bytes\\. region 0x0002" "<<malloc>>: .* 16 bytes\\. region 0x0002"
             "<<memalign>>: .* 128 bytes\\. region 0x0003")
foreach(i RANGE 2)
  list(GET entries ${i} entry)
  list(GET expected ${i} pattern)
  if(NOT entry MATCHES "${pattern}")
    message(FATAL_ERROR "entry ${i} is '${entry}', expected '${pattern}'")
  endif()
endforeach()
foreach(frame makeToken tokenize rememberLastWord makeBuckets buildIndex)
  if(NOT text MATCHES "::${frame}\\(\\)")
    message(FATAL_ERROR "no frame of ${frame} in the report:\n${text}")
  endif()
endforeach()
message(STATUS "leaks: the report names exactly the three forgotten blocks")
