# Included by the install script: writes garvel.pc for the prefix the files
# are being installed under, which `cmake --install --prefix` may choose
# long after configuration. Expects GARVEL_PC_TEMPLATE, GARVEL_PC_LIBDIR,
# GARVEL_PC_INCLUDEDIR (as GNUInstallDirs gives them), PROJECT_DESCRIPTION
# and PROJECT_VERSION.
get_filename_component(PC_PREFIX "${CMAKE_INSTALL_PREFIX}" ABSOLUTE)

# A directory relative to the prefix is written through ${prefix}.
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${GARVEL_PC_${kind}}")
    set(PC_${kind} "${GARVEL_PC_${kind}}")
  else()
    set(PC_${kind} "\${prefix}/${GARVEL_PC_${kind}}")
  endif()
endforeach()

if(IS_ABSOLUTE "${GARVEL_PC_LIBDIR}")
  set(_garvel_pc_dir "$ENV{DESTDIR}${GARVEL_PC_LIBDIR}/pkgconfig")
else()
  set(_garvel_pc_dir "$ENV{DESTDIR}${PC_PREFIX}/${GARVEL_PC_LIBDIR}/pkgconfig")
endif()
message(STATUS "Installing: ${_garvel_pc_dir}/garvel.pc")
configure_file("${GARVEL_PC_TEMPLATE}" "${_garvel_pc_dir}/garvel.pc" @ONLY)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${_garvel_pc_dir}/garvel.pc")
