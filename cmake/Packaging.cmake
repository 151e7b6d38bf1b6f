# Install rules and the two Debian packages (cpack, or the target `package`):
#   webwarden32  the program folder under /usr/lib/webwarden32 (console,
#                CVSRVA.OCX, regsvr32, the libraries, help), the tools,
#                the Python host, desktop entry, icon and man pages;
#   cvserverd    the server agent with its systemd unit, system user and
#                example configuration.
# Destinations are relative to the root of the file system, so that
# `cmake --install BUILD --prefix ROOT` lays out the same tree as the packages.
set(WW_PKG_VERSION ${WW_VERSION})
set(WW_PKG_RELEASE 1)
set(WW_INSTALL_PROGRAM_DIR usr/lib/webwarden32)
set(WW_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(WW_PACKAGING_OUT ${CMAKE_BINARY_DIR}/packaging)

# Where the installed programs find the program folder's libraries.
set_target_properties(webwarden32 webwarden32-smoke regsvr32 cvsrva PROPERTIES INSTALL_RPATH "\$ORIGIN")
set_target_properties(cvcli tlbdump PROPERTIES INSTALL_RPATH "\$ORIGIN/../lib/webwarden32")

# --- webwarden32 --------------------------------------------------------------
install(TARGETS webwarden32 regsvr32 webwarden32-smoke
  RUNTIME DESTINATION ${WW_INSTALL_PROGRAM_DIR} COMPONENT webwarden32)
install(TARGETS ole olectl cvclient cvsrva
  LIBRARY DESTINATION ${WW_INSTALL_PROGRAM_DIR} COMPONENT webwarden32)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/help/ DESTINATION ${WW_INSTALL_PROGRAM_DIR}/help COMPONENT webwarden32)
install(TARGETS cvcli tlbdump RUNTIME DESTINATION usr/bin COMPONENT webwarden32)
file(MAKE_DIRECTORY ${WW_PACKAGING_OUT}/bin)
file(CREATE_LINK ../lib/webwarden32/webwarden32 ${WW_PACKAGING_OUT}/bin/webwarden32 SYMBOLIC)
install(FILES ${WW_PACKAGING_OUT}/bin/webwarden32 DESTINATION usr/bin COMPONENT webwarden32)
if(TARGET cvole)
  # Debian's python3 looks in /usr/lib/python3/dist-packages; from there the
  # program folder is ../../webwarden32.
  set_target_properties(cvole PROPERTIES INSTALL_RPATH "\$ORIGIN/../../webwarden32")
  install(TARGETS cvole LIBRARY DESTINATION usr/lib/python3/dist-packages COMPONENT webwarden32)
endif()
install(FILES ${WW_PACKAGING_DIR}/webwarden32.desktop DESTINATION usr/share/applications COMPONENT webwarden32)
install(FILES ${WW_PACKAGING_DIR}/deb/webwarden32/lintian-overrides DESTINATION usr/share/lintian/overrides
  RENAME webwarden32 COMPONENT webwarden32)
install(FILES ${WW_PACKAGING_DIR}/webwarden32.svg
  DESTINATION usr/share/icons/hicolor/scalable/apps COMPONENT webwarden32)

# --- cvserverd ----------------------------------------------------------------
install(TARGETS cvserverd RUNTIME DESTINATION usr/sbin COMPONENT cvserverd)
install(TARGETS cvrfcd RUNTIME DESTINATION usr/lib/cvserverd COMPONENT cvserverd)
install(FILES ${WW_PACKAGING_DIR}/examples/RFC.qrx DESTINATION usr/share/doc/cvserverd/examples COMPONENT cvserverd)
install(FILES ${PROJECT_SOURCE_DIR}/corvane/rfc/scripts/ECHO.BAS
  DESTINATION usr/share/doc/cvserverd/examples COMPONENT cvserverd)
install(FILES ${WW_PACKAGING_DIR}/cvserverd.service DESTINATION lib/systemd/system COMPONENT cvserverd)
install(FILES ${WW_PACKAGING_DIR}/cvserverd.sysusers DESTINATION usr/lib/sysusers.d
  RENAME cvserverd.conf COMPONENT cvserverd)
# It will hold the users' password verifiers: never readable by everyone (the
# postinst gives it to the agent's group).
install(FILES ${WW_PACKAGING_DIR}/cvserverd.toml DESTINATION etc/cvserverd
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ COMPONENT cvserverd)
install(FILES ${WW_PACKAGING_DIR}/README.Debian DESTINATION usr/share/doc/cvserverd COMPONENT cvserverd)
install(FILES ${WW_PACKAGING_DIR}/examples/apache2.qrx ${WW_PACKAGING_DIR}/examples/httpd.conf
  DESTINATION usr/share/doc/cvserverd/examples COMPONENT cvserverd)
# The directory schema ("KCP Server"), to load into the site's slapd.
install(FILES ${PROJECT_SOURCE_DIR}/corvane/directory/corvane.schema ${PROJECT_SOURCE_DIR}/corvane/directory/corvane.ldif
  DESTINATION usr/share/cvserverd/schema COMPONENT cvserverd)

# --- both: man pages, copyright, changelog ---------------------------------------
find_program(GZIP_EXECUTABLE gzip REQUIRED)
function(ww_gzip source output)
  add_custom_command(OUTPUT ${output}
    COMMAND ${GZIP_EXECUTABLE} -9n -c ${source} > ${output}
    DEPENDS ${source} VERBATIM)
endfunction()
set(ww_packaging_outputs)
# The pages carry this build's version (@WW_VERSION@ in their title lines).
foreach(page webwarden32.1:webwarden32 cvcli.1:webwarden32 regsvr32.1:webwarden32 tlbdump.1:webwarden32
             corvane-client.5:webwarden32 cvserverd.8:cvserverd)
  string(REPLACE ":" ";" parts ${page})
  list(GET parts 0 name)
  list(GET parts 1 component)
  string(REGEX REPLACE ".*\\." "" section ${name})
  configure_file(${WW_PACKAGING_DIR}/man/${name} ${WW_PACKAGING_OUT}/man/${name} @ONLY)
  ww_gzip(${WW_PACKAGING_OUT}/man/${name} ${WW_PACKAGING_OUT}/${name}.gz)
  list(APPEND ww_packaging_outputs ${WW_PACKAGING_OUT}/${name}.gz)
  install(FILES ${WW_PACKAGING_OUT}/${name}.gz DESTINATION usr/share/man/man${section} COMPONENT ${component})
endforeach()
foreach(package webwarden32 cvserverd)
  set(PACKAGE ${package})
  set(VERSION ${WW_PKG_VERSION}-${WW_PKG_RELEASE})
  configure_file(${WW_PACKAGING_DIR}/changelog.in ${WW_PACKAGING_OUT}/${package}/changelog.Debian @ONLY)
  ww_gzip(${WW_PACKAGING_OUT}/${package}/changelog.Debian ${WW_PACKAGING_OUT}/${package}/changelog.Debian.gz)
  list(APPEND ww_packaging_outputs ${WW_PACKAGING_OUT}/${package}/changelog.Debian.gz)
  install(FILES ${WW_PACKAGING_DIR}/copyright ${WW_PACKAGING_OUT}/${package}/changelog.Debian.gz
    DESTINATION usr/share/doc/${package} COMPONENT ${package})
endforeach()
add_custom_target(ww_packaging_files ALL DEPENDS ${ww_packaging_outputs})

# --- CPack ----------------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_PACKAGE_VERSION ${WW_PKG_VERSION})
set(CPACK_PACKAGE_VENDOR "Webwarden32 developers")
set(CPACK_PACKAGE_CONTACT "Webwarden32 developers <dev@webwarden32.invalid>")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
# WW_PACKAGE_COMPONENTS=cvserverd packs the agent alone (a build that only
# makes the agent's targets, such as the system test's upgrade).
set(WW_PACKAGE_COMPONENTS "webwarden32;cvserverd" CACHE STRING "The packages cpack builds")
set(CPACK_COMPONENTS_ALL ${WW_PACKAGE_COMPONENTS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${WW_PKG_RELEASE})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The program folder's own libraries are no one else's to provide.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_INSTALL_PREFIX}/${WW_INSTALL_PROGRAM_DIR})
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_WEBWARDEN32_PACKAGE_NAME webwarden32)
set(CPACK_DEBIAN_WEBWARDEN32_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_WEBWARDEN32_DESCRIPTION "console for Apache on Corvane file servers
Webwarden32 starts, stops and restarts Apache on remote Corvane file servers,
edits httpd.conf and reads Apache's logs over the network file system. It
embeds CVSRVA, a server administration automation control, and ships the
cvcli client, the regsvr32 and tlbdump tools and cvole, the Python
automation host for the control.")
# cvole is an extension module of Debian's python3 3.11. Run, not linked: the
# desktop's handlers for the help page and the Info links.
set(CPACK_DEBIAN_WEBWARDEN32_PACKAGE_DEPENDS "python3 (>= 3.11~), python3 (<< 3.12)")
set(CPACK_DEBIAN_WEBWARDEN32_PACKAGE_RECOMMENDS "xdg-utils")
set(CPACK_DEBIAN_CVSERVERD_PACKAGE_NAME cvserverd)
set(CPACK_DEBIAN_CVSERVERD_PACKAGE_SECTION net)
set(CPACK_DEBIAN_CVSERVERD_DESCRIPTION "Corvane server agent
cvserverd plays a Corvane file server for Webwarden32 and other clients of
the Corvane client library: server information, connections, parameters,
and QRX modules (supervised programs such as Apache) and QBT command files
loaded and run for logged-in operators. Runs under systemd as its own
system user.")
set(CPACK_DEBIAN_CVSERVERD_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_CVSERVERD_PACKAGE_CONTROL_EXTRA
  ${WW_PACKAGING_DIR}/deb/cvserverd/conffiles
  ${WW_PACKAGING_DIR}/deb/cvserverd/postinst
  ${WW_PACKAGING_DIR}/deb/cvserverd/prerm
  ${WW_PACKAGING_DIR}/deb/cvserverd/postrm)
set(CPACK_DEBIAN_CVSERVERD_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
