# What `cmake --install` puts in place and what CPack packs (scripts/package.sh
# builds both):
#   Linux:   vfdstartup-cli and its man page; a Debian package
#            vfdstartup-cli_<version>_amd64.deb
#   Windows: vfdstartup.exe and vfdstartup-cli.exe, each a single statically
#            linked program; a zip vfdstartup-<version>-win32.zip
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "vfdstartup")
set(CPACK_PACKAGE_CONTACT "vfdstartup maintainers <vfdstartup@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Sets the startup message of a point-of-sale customer display (two-row VFD module)")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  install(TARGETS vfdstartup vfdstartup-cli RUNTIME DESTINATION . COMPONENT programs)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "vfdstartup-${PROJECT_VERSION}-win32")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  install(FILES ${PROJECT_SOURCE_DIR}/docs/vfdstartup-cli.1 DESTINATION share/man/man1 COMPONENT cli)
  # The module, role and playbook for a fleet rollout, for the controller.
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/deploy/ansible/ DESTINATION share/vfdstartup/ansible COMPONENT cli)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME vfdstartup-cli)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_PACKAGE_DESCRIPTION
      "The console program sets the power-on message of the two-row VFD customer display on a serial port, or puts the factory default back: for scripts, deployment tools and fleet rollouts.")
endif()
include(CPack)
