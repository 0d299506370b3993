# Installs the build into a scratch prefix and runs the installed
# garvel-palette --list without arguments: the libraries are found through
# the installed run paths and dclgarv in the installed plug-in folder.
set(prefix ${WORK}/palette-install)
file(REMOVE_RECURSE ${prefix})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix}
                OUTPUT_QUIET RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "installing into ${prefix} failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=DISPLAY --unset=GARVEL_PLUGIN_PATH
                        ${prefix}/bin/garvel-palette --list
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
file(REMOVE_RECURSE ${prefix})
if(NOT rc EQUAL 0 OR NOT out MATCHES "Package\tVornak Garvel Package\t[^\n]*/garvel/plugins/dclgarv.so\n"
   OR NOT out MATCHES "Vornak\tTxcGarvelSMPP\t22x22\tAbout...\n")
  message(FATAL_ERROR "installed garvel-palette --list (status ${rc}):\n${out}\n${err}")
endif()
