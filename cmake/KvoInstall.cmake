# make install and make deb: the service, the simulator, the web root, the error
# pages under KVOOMX_HOME/HTML, the systemd unit with its user and file rules.
# The settings files are never installed: the service creates them, and an
# administrator's own stay as they are.
# A system service: /usr unless a prefix is given (make install PREFIX=...).
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Install prefix" FORCE)
endif()
# make install and make deb build only what they install (the Makefile builds
# the two programs first), not every test.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)
include(GNUInstallDirs)
set(KVO_DOC_SUBDIR ${CMAKE_INSTALL_DATADIR}/doc/kvoomxsvr)

# KVOOMX_HOME of an installed service. The default /usr/share/kvoomx is built into
# the service; another prefix gets its own through the unit's environment.
set(KVO_HOME ${CMAKE_INSTALL_FULL_DATADIR}/kvoomx)
set(KVO_SBIN_DIR ${CMAKE_INSTALL_FULL_SBINDIR})
set(KVO_DOC_DIR ${CMAKE_INSTALL_PREFIX}/${KVO_DOC_SUBDIR})

set(KVO_PACKAGING ${CMAKE_SOURCE_DIR}/packaging)
set(KVO_GENERATED ${CMAKE_BINARY_DIR}/packaging)
configure_file(${KVO_PACKAGING}/kvoomxsvr.service.in ${KVO_GENERATED}/kvoomxsvr.service @ONLY)
configure_file(${KVO_PACKAGING}/kvoomx.tmpfiles.in ${KVO_GENERATED}/kvoomx.tmpfiles @ONLY)
configure_file(${KVO_PACKAGING}/postinst.in ${KVO_GENERATED}/postinst @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)

install(TARGETS kvoomxsvr RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
if(TARGET kvoctlsim)
  install(TARGETS kvoctlsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(DIRECTORY ${CMAKE_SOURCE_DIR}/share/webguiroot DESTINATION ${CMAKE_INSTALL_DATADIR}/kvoomx)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/share/HTML DESTINATION ${CMAKE_INSTALL_DATADIR}/kvoomx)
install(FILES ${KVO_GENERATED}/kvoomxsvr.service DESTINATION lib/systemd/system)
install(FILES ${KVO_PACKAGING}/kvoomx.sysusers DESTINATION lib/sysusers.d
        RENAME kvoomx.conf)
install(FILES ${KVO_GENERATED}/kvoomx.tmpfiles DESTINATION lib/tmpfiles.d
        RENAME kvoomx.conf)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${KVO_DOC_SUBDIR})
# The controllers' SCSI generic nodes for group kvoomx (and no other device).
install(FILES ${KVO_PACKAGING}/60-kvoomx-sg.rules DESTINATION lib/udev/rules.d)

# Debian package (make deb): cpack -G DEB in the build tree.
set(CPACK_PACKAGE_NAME kvoomxsvr)
set(CPACK_PACKAGE_VERSION 1.0.0)
set(CPACK_PACKAGE_VENDOR "kvoomx")
set(CPACK_PACKAGE_CONTACT "kvoomx maintainers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "host daemon for RAID controllers: web relay, configuration pages, SNMP and mail events")
set(CPACK_PACKAGE_DESCRIPTION
    "kvoomxsvr relays browser connections to the controllers' firmware web interface through\nthe driver, serves its own configuration pages and sends controller events as SNMPv2c\ntraps and e-mail. kvoctlsim simulates the controllers for machines without them.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "systemd")
# sg_inq and sg_map show which SCSI generic node is a controller.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "sg3-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${KVO_GENERATED}/postinst ${KVO_PACKAGING}/prerm ${KVO_PACKAGING}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_GENERATOR DEB)
include(CPack)
