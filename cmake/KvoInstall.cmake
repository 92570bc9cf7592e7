# make install and make deb: two packages.
#   kvoomxsvr: the service, its web root and error pages (read-only, under
#     share/kvoomx), the systemd unit with its user and folder rules, manual page.
#   kvoctlsim: the controller simulator, for demonstrations and tests.
# The settings files are never installed: the service creates them in its state
# folder (/var/lib/kvoomx), and an administrator's own stay as they are.
# A system service: /usr unless a prefix is given (make install PREFIX=...).
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Install prefix" FORCE)
endif()
# make install and make deb build only what they install (the Makefile builds
# the two programs first), not every test.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)
include(GNUInstallDirs)

set(KVO_VERSION 1.0.0)
set(KVO_MAINTAINER "kvoomx developers <kvoomx-dev@lists.kvoomx.org>" CACHE STRING
    "Maintainer field of the Debian packages")
# The state folder (KVOOMX_HOME of an installed service: the settings files the
# service writes) and the read-only static files (web root, error pages); both
# are built into the service, and the unit names the state folder again.
set(KVO_HOME ${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/lib/kvoomx)
set(KVO_DATA_DIR ${CMAKE_INSTALL_FULL_DATADIR}/kvoomx)
set(KVO_SBIN_DIR ${CMAKE_INSTALL_FULL_SBINDIR})
target_compile_definitions(kvo_service PRIVATE KVO_VERSION="${KVO_VERSION}"
                           KVO_STATE_DIR="${KVO_HOME}" KVO_DATA_DIR="${KVO_DATA_DIR}")
# /metrics names the version (kvoomx_build_info).
target_compile_definitions(kvo_server PRIVATE KVO_VERSION="${KVO_VERSION}")

set(KVO_PACKAGING ${CMAKE_SOURCE_DIR}/packaging)
set(KVO_GENERATED ${CMAKE_BINARY_DIR}/packaging)
configure_file(${KVO_PACKAGING}/kvoomxsvr.service.in ${KVO_GENERATED}/kvoomxsvr.service @ONLY)
configure_file(${KVO_PACKAGING}/kvoomx.tmpfiles.in ${KVO_GENERATED}/kvoomx.tmpfiles @ONLY)
foreach(script postinst prerm postrm)
  configure_file(${KVO_PACKAGING}/${script}.in ${KVO_GENERATED}/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
endforeach()

# Manual pages and the Debian changelog go in compressed, as Debian wants them
# (gzip -9n: no name or time stamp, so the result is reproducible).
function(kvo_gzip source target)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  execute_process(COMMAND gzip -9n -c ${source} OUTPUT_FILE ${target} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip ${source} failed")
  endif()
endfunction()
kvo_gzip(${KVO_PACKAGING}/kvoomxsvr.8 ${KVO_GENERATED}/kvoomxsvr.8.gz)
kvo_gzip(${KVO_PACKAGING}/kvoctlsim.1 ${KVO_GENERATED}/kvoctlsim.1.gz)
kvo_gzip(${KVO_PACKAGING}/changelog ${KVO_GENERATED}/changelog.Debian.gz)

# Every package's documentation folder holds its copyright and changelog; its
# lintian overrides name the tags that only apply to uploads to Debian itself.
function(kvo_install_package_doc component package)
  install(FILES ${KVO_PACKAGING}/copyright ${KVO_GENERATED}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
  install(FILES ${KVO_PACKAGING}/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
          RENAME ${package} COMPONENT ${component})
endfunction()

# The service.
install(TARGETS kvoomxsvr RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT service)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/share/webguiroot ${CMAKE_SOURCE_DIR}/share/HTML
        DESTINATION ${CMAKE_INSTALL_DATADIR}/kvoomx COMPONENT service)
# The trap MIB where net-snmp's tools and libsmi look by default.
install(FILES ${CMAKE_SOURCE_DIR}/share/mibs/VELMORA-KVOOMX-MIB.txt
        DESTINATION ${CMAKE_INSTALL_DATADIR}/snmp/mibs COMPONENT service)
# The system files of the service, one per line: a further rule (udev, ...) is one more entry.
set(KVO_SYSTEM_FILES
    "${KVO_GENERATED}/kvoomxsvr.service|lib/systemd/system|kvoomxsvr.service"
    "${KVO_PACKAGING}/kvoomx.sysusers|lib/sysusers.d|kvoomx.conf"
    "${KVO_GENERATED}/kvoomx.tmpfiles|lib/tmpfiles.d|kvoomx.conf"
    # The controllers' SCSI generic nodes for group kvoomx (and no other device).
    "${KVO_PACKAGING}/60-kvoomx-sg.rules|lib/udev/rules.d|60-kvoomx-sg.rules")
foreach(entry ${KVO_SYSTEM_FILES})
  string(REPLACE "|" ";" fields "${entry}")
  list(GET fields 0 file)
  list(GET fields 1 folder)
  list(GET fields 2 name)
  install(FILES ${file} DESTINATION ${folder} RENAME ${name} COMPONENT service)
endforeach()
install(FILES ${KVO_GENERATED}/kvoomxsvr.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8
        COMPONENT service)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kvoomxsvr
        COMPONENT service)
kvo_install_package_doc(service kvoomxsvr)

# The simulator.
if(TARGET kvoctlsim)
  install(TARGETS kvoctlsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT simulator)
  install(FILES ${KVO_GENERATED}/kvoctlsim.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
          COMPONENT simulator)
  kvo_install_package_doc(simulator kvoctlsim)
endif()

# Debian packages (make deb): cpack -G DEB in the build tree, one package per
# component, binaries stripped with their debug symbols in -dbgsym packages.
set(CPACK_PACKAGE_NAME kvoomxsvr)
set(CPACK_PACKAGE_VERSION ${KVO_VERSION})
set(CPACK_PACKAGE_VENDOR "kvoomx")
set(CPACK_PACKAGE_CONTACT "${KVO_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KVO_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL service simulator)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME kvoomxsvr)
set(CPACK_DEBIAN_SERVICE_PACKAGE_DEPENDS "systemd")
# sg_inq and sg_map show which SCSI generic node is a controller.
set(CPACK_DEBIAN_SERVICE_PACKAGE_SUGGESTS "kvoctlsim, sg3-utils")
set(CPACK_COMPONENT_SERVICE_DESCRIPTION
    "host daemon for RAID controllers with web relay and event notification\n\
kvoomxsvr relays browser connections to the firmware web interface\n\
of up to four RAID controllers through their driver, serves its own\n\
configuration pages and sends controller events as SNMPv2c traps and\n\
e-mail.")
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA
    ${KVO_GENERATED}/postinst ${KVO_GENERATED}/prerm ${KVO_GENERATED}/postrm)

set(CPACK_DEBIAN_SIMULATOR_PACKAGE_NAME kvoctlsim)
set(CPACK_DEBIAN_SIMULATOR_PACKAGE_SECTION devel)
# Earlier kvoomxsvr packages (1.0.0) carried the simulator themselves.
set(CPACK_DEBIAN_SIMULATOR_PACKAGE_REPLACES "kvoomxsvr (<< 1.0.0-1)")
set(CPACK_DEBIAN_SIMULATOR_PACKAGE_BREAKS "kvoomxsvr (<< 1.0.0-1)")
set(CPACK_COMPONENT_SIMULATOR_DESCRIPTION
    "simulated RAID controllers for demonstrations and tests of kvoomxsvr\n\
kvoctlsim plays the kernel driver and the firmware of the controllers\n\
that kvoomxsvr serves, on machines without them: a management web\n\
interface per controller and an event channel, driven through a\n\
control socket.")
set(CPACK_GENERATOR DEB)
include(CPack)
