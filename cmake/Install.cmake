# Install layout on Linux (scripts/package.sh installs it under /usr): the
# programs in bin; the library, the host COM runtime and torwen in a private
# folder of the multiarch library directory, found through RPATH. The
# package's own data (desktop entry, metainfo, icons, man pages, completion)
# comes from packaging/linux.
if(WIN32)
  return()
endif()

set(VELQUIN_ARCH_LIBDIR lib)
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(VELQUIN_ARCH_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE})
endif()
set(VELQUIN_PRIVATE_LIBDIR ${VELQUIN_ARCH_LIBDIR}/velquin)

set(_velquin_private_libs VELQUIN hostcom torwen)
set(_velquin_programs presets presetctl campreview vcam_tool regsvr)
foreach(_target IN LISTS _velquin_private_libs)
  set_target_properties(${_target} PROPERTIES INSTALL_RPATH "$ORIGIN")
  install(TARGETS ${_target} LIBRARY DESTINATION ${VELQUIN_PRIVATE_LIBDIR} COMPONENT velquin)
endforeach()
foreach(_target IN LISTS _velquin_programs)
  set_target_properties(${_target} PROPERTIES INSTALL_RPATH "$ORIGIN/../${VELQUIN_PRIVATE_LIBDIR}")
  install(TARGETS ${_target} RUNTIME DESTINATION bin COMPONENT velquin)
endforeach()

# camfiles loads torwen.so from beside its own file, so it lives next to it;
# bin/camfiles starts it by its full path.
set_target_properties(camfiles PROPERTIES INSTALL_RPATH "$ORIGIN")
install(TARGETS camfiles RUNTIME DESTINATION ${VELQUIN_PRIVATE_LIBDIR} COMPONENT velquin)
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/packaging/camfiles CONTENT
"#!/bin/sh
# Runs camfiles from beside the microdriver it loads.
here=$(dirname \"$(readlink -f \"$0\")\")
exec \"$here/../${VELQUIN_PRIVATE_LIBDIR}/camfiles\" \"$@\"
")
install(PROGRAMS ${CMAKE_BINARY_DIR}/packaging/camfiles DESTINATION bin COMPONENT velquin)

set(_pkg ${PROJECT_SOURCE_DIR}/packaging/linux)
set(VELQUIN_APP_ID io.velquin.presets)
install(FILES ${_pkg}/${VELQUIN_APP_ID}.desktop DESTINATION share/applications COMPONENT velquin)
# The metainfo and the man pages carry the release version, filled in here.
configure_file(${_pkg}/${VELQUIN_APP_ID}.metainfo.xml ${CMAKE_BINARY_DIR}/packaging/${VELQUIN_APP_ID}.metainfo.xml @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/${VELQUIN_APP_ID}.metainfo.xml DESTINATION share/metainfo COMPONENT velquin)
install(FILES ${_pkg}/icon.svg DESTINATION share/icons/hicolor/scalable/apps
        RENAME ${VELQUIN_APP_ID}.svg COMPONENT velquin)
foreach(_command presets presetctl camfiles campreview vcam regsvr)
  configure_file(${_pkg}/man/${_command}.1 ${CMAKE_BINARY_DIR}/packaging/man/${_command}.1 @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/man/${_command}.1 DESTINATION share/man/man1 COMPONENT velquin)
endforeach()
foreach(_command presetctl camfiles vcam)
  install(FILES ${_pkg}/completion/${_command} DESTINATION share/bash-completion/completions COMPONENT velquin)
endforeach()
