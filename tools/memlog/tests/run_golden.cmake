# Runs quorkit-memlog once and compares its standard output, standard error and exit
# code with a golden file. Set MEMLOG_UPDATE_GOLDEN=1 in the environment to rewrite
# the golden file instead (then review the diff before committing it).
#   -DTOOL=... -DLOGDIR=... -DGOLDEN=... -DARGS=a|b|c [-DINPUT=file] [-DOUTFILE=name]
# OUTFILE: a file the command writes (with -o), compared after the streams.
string(REPLACE "|" ";" args "${ARGS}")
set(extra)
if(INPUT)
  set(extra INPUT_FILE "${INPUT}")
endif()
if(OUTFILE)
  file(REMOVE "${LOGDIR}/${OUTFILE}")
endif()
execute_process(COMMAND "${TOOL}" ${args}
  WORKING_DIRECTORY "${LOGDIR}"
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc ${extra})
set(actual "${out}--- stderr ---\n${err}--- exit ${rc} ---\n")
if(OUTFILE)
  file(READ "${LOGDIR}/${OUTFILE}" written)
  string(APPEND actual "--- ${OUTFILE} ---\n${written}")
endif()
if("$ENV{MEMLOG_UPDATE_GOLDEN}" STREQUAL "1")
  file(WRITE "${GOLDEN}" "${actual}")
  message(STATUS "rewrote ${GOLDEN}")
  return()
endif()
if(NOT EXISTS "${GOLDEN}")
  message(FATAL_ERROR "no golden file ${GOLDEN}; output was:\n${actual}\n"
    "(run the test with MEMLOG_UPDATE_GOLDEN=1 to create it, then review it)")
endif()
file(READ "${GOLDEN}" expected)
if(NOT actual STREQUAL expected)
  string(REGEX REPLACE "\\.txt$" ".actual.txt" dump "${GOLDEN}")
  get_filename_component(dumpname "${dump}" NAME)
  file(WRITE "${LOGDIR}/${dumpname}" "${actual}")
  message(FATAL_ERROR "output differs from ${GOLDEN}\n--- expected ---\n${expected}\n--- actual ---\n${actual}\n"
    "(actual output saved as ${LOGDIR}/${dumpname})")
endif()
