# Where `cmake --install` lays things out. Linux: the GNU folders, the upgrader
# in a folder of its own, since the client (bvc.exe), command.bat and
# upgrade.pub are looked for beside it. Windows: one flat folder, as the
# client's installer lays it out.
include(GNUInstallDirs)

if(WIN32)
  set(BRISVANE_APP_DIR "." CACHE STRING "Folder of BrisvaneUpgrade, relative to the prefix")
  set(BRISVANE_TOOL_DIR ".")
  set(BRISVANE_DOC_DIR "doc")
  set(BRISVANE_EXAMPLES_DIR "doc/client-examples")
else()
  # Debian looks for a package's documents under its package name.
  if(NOT "$CACHE{CMAKE_INSTALL_DOCDIR}")
    set(CMAKE_INSTALL_DOCDIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/brisvane-upgrade")
    GNUInstallDirs_get_absolute_install_dir(CMAKE_INSTALL_FULL_DOCDIR CMAKE_INSTALL_DOCDIR DOCDIR)
  endif()
  set(BRISVANE_APP_DIR "${CMAKE_INSTALL_LIBEXECDIR}/brisvane" CACHE STRING
      "Folder of BrisvaneUpgrade, relative to the prefix")
  set(BRISVANE_TOOL_DIR "${CMAKE_INSTALL_BINDIR}")
  set(BRISVANE_DOC_DIR "${CMAKE_INSTALL_DOCDIR}")
  # The example clients' sources, in the development package's own folder.
  set(BRISVANE_EXAMPLES_DIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/brisvane-upgrade-dev/examples")
endif()

# Debian ships changelogs and manual pages gzip-compressed, reproducibly so;
# compressed at configure time, again whenever the source changes.
function(brisvane_gzip source output)
  find_program(BRISVANE_GZIP gzip REQUIRED)
  get_filename_component(folder ${output} DIRECTORY)
  file(MAKE_DIRECTORY ${folder})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  execute_process(COMMAND ${BRISVANE_GZIP} -9nc ${source} OUTPUT_FILE ${output}
    COMMAND_ERROR_IS_FATAL ANY)
endfunction()
