# Runs garvel-palette --list without a display and checks the registration
# table, the plug-in folder search and the report of a package it refuses.
function(run_palette out err status)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=DISPLAY ${ARGN}
                  OUTPUT_VARIABLE o ERROR_VARIABLE e RESULT_VARIABLE r)
  set(${out} "${o}" PARENT_SCOPE)
  set(${err} "${e}" PARENT_SCOPE)
  set(${status} "${r}" PARENT_SCOPE)
endfunction()

function(expect what got want)
  if(NOT got STREQUAL want)
    message(FATAL_ERROR "${what}: expected\n[${want}]\ngot\n[${got}]")
  endif()
endfunction()

set(table "Page\tClass\tImage\tVerbs
Vornak\tTxcGarvelSEMA\t22x22\tAbout...
Vornak\tTxcGarvelCIMD2\t22x22\tAbout...
Vornak\tTxcGarvelUCP\t22x22\tAbout...
Vornak\tTxcGarvelSMPP\t22x22\tAbout...
")

run_palette(out err status ${PALETTE} --list ${DCLGARV})
expect("exit status" "${status}" "0")
expect("stderr" "${err}" "")
file(REAL_PATH ${DCLGARV} dclgarv)
expect("table" "${out}" "Package\tVornak Garvel Package\t${dclgarv}\n${table}")

# Two packages: both pages, in loading order.
run_palette(out err status ${PALETTE} --list ${DCLGARV} ${TEST_PACKAGE})
expect("exit status with two packages" "${status}" "0")
string(FIND "${out}" "Vornak\tTxcGarvelSMPP\t22x22\tAbout...\nTests\tTTestWidget\t2x2\tFirst|Second\n" at)
if(at EQUAL -1)
  message(FATAL_ERROR "the second package is missing:\n${out}")
endif()

# The plug-in folder, from the environment.
get_filename_component(folder ${DCLGARV} DIRECTORY)
run_palette(out err status ${CMAKE_COMMAND} -E env GARVEL_PLUGIN_PATH=/nonexistent:${folder}
            ${PALETTE} --list)
expect("exit status from the folder" "${status}" "0")
expect("table from the folder" "${out}" "Package\tVornak Garvel Package\t${dclgarv}\n${table}")

# A missing package: reported, the others still listed, status 1.
run_palette(out err status ${PALETTE} --list /nonexistent/x.so ${DCLGARV})
expect("exit status with a missing package" "${status}" "1")
expect("table with a missing package" "${out}" "Package\tVornak Garvel Package\t${dclgarv}\n${table}")
if(NOT err MATCHES "cannot load package '/nonexistent/x.so': No such file or directory")
  message(FATAL_ERROR "no report of the missing package: ${err}")
endif()

run_palette(out err status ${PALETTE} --bogus)
expect("exit status of a bad option" "${status}" "2")
