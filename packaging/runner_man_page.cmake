# Writes the runner's man page with help2man: its --help, then each subcommand's --help as a
# section. Run as a script: -DSIM= -DHELP2MAN= -DOUT= -DWORK=
cmake_minimum_required(VERSION 3.25)
# The default file names lie in the current folder, so the program runs in a folder of its own,
# whose name then becomes "." in the page, as the program's own name becomes quillon-sim.
set(here ${WORK}/man-page-folder)
file(MAKE_DIRECTORY ${here})
execute_process(COMMAND ${SIM} --help WORKING_DIRECTORY ${here} OUTPUT_VARIABLE help RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${SIM} --help failed")
endif()
# CLI11 lists the subcommands under Subcommands:, one per line, indented.
string(REGEX MATCH "\nSubcommands:\n(.*)" listed "${help}")
set(include "")
# Only the names are read: the semicolons of the descriptions must not split CMake's list.
string(REPLACE ";" "," lines "${CMAKE_MATCH_1}")
string(REPLACE "\n" ";" lines "${lines}")
foreach(line ${lines})
  if(NOT line MATCHES "^  ([a-z][a-z-]*)")
    break()
  endif()
  set(command ${CMAKE_MATCH_1})
  execute_process(COMMAND ${SIM} ${command} --help WORKING_DIRECTORY ${here} OUTPUT_VARIABLE commandHelp
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${SIM} ${command} --help failed")
  endif()
  # The exit codes are the program's, given once in the page.
  string(REGEX REPLACE "\nExit codes:.*" "" commandHelp "${commandHelp}")
  # Lines starting with a dot would be read as requests by the formatter.
  string(REGEX REPLACE "\n\\." "\n\\\\&." commandHelp "${commandHelp}")
  string(APPEND include "[quillon-sim ${command}]\n.nf\n${commandHelp}\n.fi\n")
endforeach()
string(PREPEND include "[see also]\n.BR quillon (1)\n")
file(WRITE ${WORK}/quillon-sim.h2m "${include}")
execute_process(COMMAND ${HELP2MAN} --no-info --no-discard-stderr --section 1
                        --name "simulate classification tests under Measurement Decision Theory"
                        --include ${WORK}/quillon-sim.h2m --output ${OUT}.raw ${SIM}
                WORKING_DIRECTORY ${here} RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "help2man could not write ${OUT}")
endif()
file(READ ${OUT}.raw page)
# help2man writes a hyphen as \-.
foreach(path here SIM)
  string(REPLACE "-" "\\-" escaped "${${path}}")
  set(name .)
  if(path STREQUAL "SIM")
    set(name "quillon\\-sim")
  endif()
  string(REPLACE "${escaped}" "${name}" page "${page}")
  string(REPLACE "${${path}}" "${name}" page "${page}")
endforeach()
file(WRITE ${OUT} "${page}")
file(REMOVE ${OUT}.raw)
