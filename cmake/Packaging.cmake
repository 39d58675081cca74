# What `cmake --install` puts where, and the packages cpack makes of it:
#   cpack -G DEB   (native Release build) jorvane_<version>_<arch>.deb
#   cpack -G ZIP   (the Windows build)    the .exe programs, README and LICENSE
# Test programs, test shims and test libraries install nothing.
include(GNUInstallDirs)

set(JV_PROGRAMS jorvane jorvane-backup jorvane-verify jorvane-merge jorvane-make-sample jorvane-trace)
if(NOT MINGW)
  list(APPEND JV_PROGRAMS jorvane-sim jorvane-backup-sim jorvane-verify-sim)
endif()

if(MINGW)
  # One flat folder, as Windows users unpack it; texts with CR LF line ends
  # so that every editor there shows their lines.
  install(TARGETS ${JV_PROGRAMS} RUNTIME DESTINATION .)
  foreach(text README.md:README.txt LICENSE:LICENSE.txt)
    string(REPLACE ":" ";" pair ${text})
    list(GET pair 0 from)
    list(GET pair 1 to)
    configure_file(${CMAKE_SOURCE_DIR}/${from} ${CMAKE_BINARY_DIR}/dist/${to} @ONLY NEWLINE_STYLE CRLF)
    install(FILES ${CMAKE_BINARY_DIR}/dist/${to} DESTINATION .)
  endforeach()
  set(CPACK_PACKAGE_FILE_NAME "jorvane-${PROJECT_VERSION}-win32")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  install(TARGETS ${JV_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

  # Manual pages and the changelog compressed as Debian wants them (gzip -9,
  # no name or time stamp inside, so the same build gives the same bytes).
  find_program(JV_GZIP gzip REQUIRED)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/changelog.in ${CMAKE_BINARY_DIR}/dist/changelog @ONLY)
  set(JV_COMPRESSED ${CMAKE_BINARY_DIR}/dist/changelog.gz)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/dist/changelog.gz
    COMMAND ${JV_GZIP} -9nc ${CMAKE_BINARY_DIR}/dist/changelog > ${CMAKE_BINARY_DIR}/dist/changelog.gz
    DEPENDS ${CMAKE_BINARY_DIR}/dist/changelog VERBATIM)
  foreach(program ${JV_PROGRAMS})
    set(page ${CMAKE_BINARY_DIR}/dist/${program}.1.gz)
    add_custom_command(OUTPUT ${page}
      COMMAND ${JV_GZIP} -9nc ${CMAKE_SOURCE_DIR}/man/${program}.1 > ${page}
      DEPENDS ${CMAKE_SOURCE_DIR}/man/${program}.1 VERBATIM)
    list(APPEND JV_COMPRESSED ${page})
    install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
  # The rig format of the -sim programs is a file format: section 5.
  set(page ${CMAKE_BINARY_DIR}/dist/jorvane-rig.5.gz)
  add_custom_command(OUTPUT ${page}
    COMMAND ${JV_GZIP} -9nc ${CMAKE_SOURCE_DIR}/man/jorvane-rig.5 > ${page}
    DEPENDS ${CMAKE_SOURCE_DIR}/man/jorvane-rig.5 VERBATIM)
  list(APPEND JV_COMPRESSED ${page})
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
  add_custom_target(jorvane_dist ALL DEPENDS ${JV_COMPRESSED})

  # bash-completion loads a command's completion from a file of its name.
  foreach(program ${JV_PROGRAMS})
    install(FILES ${CMAKE_SOURCE_DIR}/completion/jorvane.bash
      DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ${program})
  endforeach()

  install(FILES README.md LICENSE ${CMAKE_SOURCE_DIR}/packaging/copyright ${CMAKE_BINARY_DIR}/dist/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # The fleet playbook, for whoever flashes many machines from the package.
  install(FILES ${CMAKE_SOURCE_DIR}/contrib/ansible/drive-firmware.yml DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
endif()

set(CPACK_PACKAGE_NAME jorvane)
set(CPACK_PACKAGE_VENDOR "The jorvane developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for CD and DVD drives")
# Lines of at most 80 characters, as the Debian description wants them.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "A console program that finds the optical drives of the machine, reads"
  "their identity, picks the firmware package that fits a drive and writes it"
  "into the drive's flash, through the drive's own firmware or its IDE"
  "registers. The package also holds:"
  " - jorvane-sim, the same program on virtual drives described by a rig"
  "   file, to rehearse an update before a real drive is touched;"
  " - jorvane-backup, which reads a drive's firmware back into a package and"
  "   can write a virtual twin of the drive;"
  " - jorvane-verify, which tells whether a drive's flash holds a package;"
  " - jorvane-merge, which builds self-contained updaters;"
  " - jorvane-make-sample, which writes a sample package and its rig;"
  " - jorvane-trace, which prints the trace of drive commands any of them"
  "   records when asked to, for a report of a drive that misbehaves."
  "Every program has a manual page and bash completion.")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The jorvane developers <jorvane@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
