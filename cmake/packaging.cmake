# What `cmake --install` puts in place and what CPack packs (scripts/package.sh
# builds both):
#   Linux:   vfdstartup-cli, its man page, the copyright and changelog, the
#            Ansible role; a Debian package vfdstartup-cli_<version>_amd64.deb
#            whose postinst makes /var/lib/vfdstartup (root:dialout 2775) and
#            whose postrm purge removes it (cmake/deb/); the units and udev
#            rule of deploy/systemd/, which postinst enables; the directory
#            /etc/vfdstartup, whose message.conf postrm purge removes
#   Windows: vfdstartup.exe and vfdstartup-cli.exe, each a single statically
#            linked program, README-Windows.txt (CRLF) and the Group Policy
#            templates (PolicyDefinitions\vfdstartup.admx, en-US\vfdstartup.adml); a zip
#            vfdstartup-<version>-win32.zip, and (target vfd_msi) the
#            Windows Installer package vfdstartup-<product version>.msi
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "vfdstartup")
set(CPACK_PACKAGE_CONTACT "vfdstartup maintainers <vfdstartup@example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "set the startup message of a point-of-sale customer display")
set(CPACK_STRIP_FILES ON)
# Directories CPack makes on its own (usr/, usr/share/, ...), whatever the umask.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(WIN32)
  # The Windows Installer package's product version: Windows Installer
  # compares three fields, so 1.0.0.3 becomes 1.0.3 (patch * 1000 + tweak).
  # The programs keep their own version resource.
  set(tweak 0${PROJECT_VERSION_TWEAK})
  math(EXPR msiBuild "${PROJECT_VERSION_PATCH} * 1000 + ${tweak}")
  set(VFD_MSI_VERSION "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${msiBuild}" CACHE STRING
      "Product version of the Windows Installer package (three fields)")
  install(TARGETS vfdstartup vfdstartup-cli RUNTIME DESTINATION . COMPONENT programs)
  configure_file(${PROJECT_SOURCE_DIR}/docs/README-Windows.txt ${CMAKE_BINARY_DIR}/README-Windows.txt
                 @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/README-Windows.txt DESTINATION . COMPONENT programs)
  # The Group Policy templates, laid out as a PolicyDefinitions folder.
  set(policyDefinitions ${PROJECT_SOURCE_DIR}/deploy/windows/PolicyDefinitions)
  install(FILES ${policyDefinitions}/vfdstartup.admx DESTINATION PolicyDefinitions COMPONENT programs)
  install(FILES ${policyDefinitions}/en-US/vfdstartup.adml DESTINATION PolicyDefinitions/en-US COMPONENT programs)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "vfdstartup-${PROJECT_VERSION}-win32")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)

  # The Windows Installer package, msi/vfdstartup-<product version>.msi:
  # cmake --build --preset windows --target vfd_msi (needs wixl and msitools;
  # signed when VFDSTARTUP_SIGN_PFX is set, see cmake/msi/sign.sh).
  find_program(VFD_WIXL wixl)
  find_program(VFD_MSIBUILD msibuild)
  if(VFD_WIXL AND VFD_MSIBUILD)
    add_custom_target(vfd_msi
      COMMAND ${CMAKE_COMMAND} -E rm -rf ${CMAKE_BINARY_DIR}/msi
      COMMAND bash ${PROJECT_SOURCE_DIR}/cmake/msi/build-msi.sh --version ${VFD_MSI_VERSION}
              --out ${CMAKE_BINARY_DIR}/msi/vfdstartup-${VFD_MSI_VERSION}.msi
              $<TARGET_FILE:vfdstartup> $<TARGET_FILE:vfdstartup-cli> ${CMAKE_BINARY_DIR}/README-Windows.txt
      DEPENDS vfdstartup vfdstartup-cli ${CMAKE_BINARY_DIR}/README-Windows.txt
      VERBATIM)
  endif()
else()
  set(deb ${PROJECT_SOURCE_DIR}/cmake/deb)
  set(docDir share/doc/vfdstartup-cli)
  # Compressed as Debian wants them: gzip -9n (no name, no time stamp).
  set(manPage ${CMAKE_BINARY_DIR}/deb/vfdstartup-cli.1.gz)
  set(changelog ${CMAKE_BINARY_DIR}/deb/changelog.gz)
  add_custom_command(OUTPUT ${manPage}
    COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/docs/vfdstartup-cli.1 > ${manPage}
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/vfdstartup-cli.1 VERBATIM)
  add_custom_command(OUTPUT ${changelog}
    COMMAND gzip -9n -c ${deb}/changelog > ${changelog}
    DEPENDS ${deb}/changelog VERBATIM)
  add_custom_target(vfd_package_files ALL DEPENDS ${manPage} ${changelog})

  install(FILES ${manPage} DESTINATION share/man/man1 COMPONENT cli)
  install(FILES ${deb}/copyright ${changelog} DESTINATION ${docDir} COMPONENT cli)
  # The JSON Schemas of --json's answers, which the man page names.
  install(FILES ${PROJECT_SOURCE_DIR}/docs/schemas/result.schema.json ${PROJECT_SOURCE_DIR}/docs/schemas/status.schema.json
          ${PROJECT_SOURCE_DIR}/docs/schemas/describe.schema.json DESTINATION ${docDir} COMPONENT cli)
  install(FILES ${deb}/lintian-overrides DESTINATION share/lintian/overrides RENAME vfdstartup-cli
          COMPONENT cli)
  # The units and the udev rule that store /etc/vfdstartup/message.conf at
  # boot, when it changes and when a display is plugged in (enabled by postinst).
  set(systemd ${PROJECT_SOURCE_DIR}/deploy/systemd)
  install(FILES ${systemd}/vfdstartup-apply.service ${systemd}/vfdstartup-apply@.service
          ${systemd}/vfdstartup-apply.path DESTINATION lib/systemd/system COMPONENT cli)
  foreach(unit vfdstartup-apply.service vfdstartup-apply@.service)
    install(FILES ${systemd}/hardening.conf DESTINATION lib/systemd/system/${unit}.d COMPONENT cli)
  endforeach()
  install(FILES ${systemd}/70-vfdstartup-apply.rules DESTINATION lib/udev/rules.d COMPONENT cli)
  # journalctl -x explains each outcome; systemd's trigger on the catalog
  # directory rebuilds the catalog's index.
  install(FILES ${systemd}/vfdstartup.catalog DESTINATION lib/systemd/catalog COMPONENT cli)
  install(FILES ${systemd}/message.conf.example DESTINATION ${docDir}/examples RENAME message.conf COMPONENT cli)
  # The message file's directory, the package's own, so that the example can
  # be copied into it on a fresh install; the file itself is the admin's.
  install(DIRECTORY DESTINATION /etc/vfdstartup COMPONENT cli)
  # The module, role and playbook for a fleet rollout, for the controller.
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/deploy/ansible/ DESTINATION share/vfdstartup/ansible COMPONENT cli
          PATTERN ".*" EXCLUDE PATTERN "__pycache__" EXCLUDE PATTERN "*.pyc" EXCLUDE)

  # The alerting rules on the metrics file, for the Prometheus server.
  install(FILES ${PROJECT_SOURCE_DIR}/deploy/prometheus/vfdstartup-alerts.yml DESTINATION share/vfdstartup/prometheus
          COMPONENT cli)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME vfdstartup-cli)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${deb}/postinst ${deb}/prerm ${deb}/postrm)
  # Maintainer scripts 0755, the other control files 0644.
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_PACKAGE_DESCRIPTION
      "vfdstartup-cli stores the power-on message of the customer display of a
point-of-sale terminal, a two-row VFD module on a serial port, or puts the
factory default back. It finds the display's port itself (the configured
port, then the system's serial ports), keeps what each display holds under
/var/lib/vfdstartup, so that with --if-changed a message the display holds
already is not sent again, and answers in JSON for scripts and deployment
tools.

Each terminal can also keep its own message in /etc/vfdstartup/message.conf:
the package's units store it at boot, whenever the file changes, and when a
USB display the file names is plugged in.

The package also holds an Ansible role and playbook that roll one message
out to a fleet of terminals, under /usr/share/vfdstartup/ansible.")
endif()
include(CPack)
