# Writes the runner's man page with help2man: its --help, then each subcommand's --help as a
# section. Run as a script: -DSIM= -DHELP2MAN= -DOUT= -DWORK=
execute_process(COMMAND ${SIM} --help OUTPUT_VARIABLE help RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${SIM} --help failed")
endif()
# CLI11 lists the subcommands under SUBCOMMANDS:, one per line, indented.
string(REGEX MATCH "\nSUBCOMMANDS:\n(.*)" listed "${help}")
set(include "")
string(REPLACE "\n" ";" lines "${CMAKE_MATCH_1}")
foreach(line ${lines})
  if(NOT line MATCHES "^  ([a-z][a-z-]*)")
    break()
  endif()
  set(command ${CMAKE_MATCH_1})
  execute_process(COMMAND ${SIM} ${command} --help OUTPUT_VARIABLE commandHelp RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${SIM} ${command} --help failed")
  endif()
  # Lines starting with a dot would be read as requests by the formatter.
  string(REGEX REPLACE "\n\\." "\n\\\\&." commandHelp "${commandHelp}")
  string(APPEND include "[quillon-sim ${command}]\n.nf\n${commandHelp}\n.fi\n")
endforeach()
string(PREPEND include "[see also]\n.BR quillon (1)\n")
file(WRITE ${WORK}/quillon-sim.h2m "${include}")
execute_process(COMMAND ${HELP2MAN} --no-info --no-discard-stderr --section 1
                        --name "simulate classification tests under Measurement Decision Theory"
                        --include ${WORK}/quillon-sim.h2m --output ${OUT} ${SIM}
                RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "help2man could not write ${OUT}")
endif()
