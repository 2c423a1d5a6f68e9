# Debian packages (scripts/package): one per install component.
#   service-monitor            the daemon and its CA bundle in the gateway layout, systemd unit
#   service-monitor-dbgsym     the daemon's debug symbols (each package has its -dbgsym)
#   service-monitor-standins   stand-ins of the gateway's own libraries and configuration tools
# The unit starts the daemon where it is installed. It is written at install time, so the
# prefix it names is the one the installation uses (`cmake --install --prefix`, CPack's),
# not only the one configured.
set(SM_UNIT_TEMPLATE ${CMAKE_SOURCE_DIR}/packaging/service-monitor.service.in)
set(SM_UNIT ${CMAKE_BINARY_DIR}/packaging/service-monitor.service)
install(CODE "set(CMAKE_INSTALL_BINDIR ${CMAKE_INSTALL_BINDIR})
  configure_file([[${SM_UNIT_TEMPLATE}]] [[${SM_UNIT}]] @ONLY)" COMPONENT daemon)
install(FILES ${SM_UNIT} DESTINATION /lib/systemd/system COMPONENT daemon)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME service-monitor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Gateway integration team <gateway@example.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL daemon standins)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)

# Debian's names for the target: aarch64 is arm64, x86_64 is amd64. For any other target
# CPack asks dpkg, which is right for a native build.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(SM_DEB_ARCH arm64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64)$")
  set(SM_DEB_ARCH amd64)
endif()
if(SM_DEB_ARCH)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${SM_DEB_ARCH})
  # dpkg-shlibdeps looks up the target's libraries and their shlibs by the host architecture.
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/packaging/cpack-env.cmake)
  file(WRITE ${CMAKE_BINARY_DIR}/packaging/cpack-env.cmake
       "set(ENV{DEB_HOST_ARCH} ${SM_DEB_ARCH})\n")
endif()
# Binary tools that read and split target binaries; cross ones when cross building.
set(CPACK_OBJCOPY_EXECUTABLE ${CMAKE_OBJCOPY})
set(CPACK_READELF_EXECUTABLE ${CMAKE_READELF})

set(CPACK_DEBIAN_DAEMON_PACKAGE_NAME service-monitor)
set(CPACK_DEBIAN_DAEMON_DESCRIPTION
    "Gateway service monitor\nCollects metric samples posted on the gateway bus, uploads them to the\ncloud monitoring service, supervises the monitoring agent and feeds the\nwatchdog. The gateway provides its logger, configuration manager and\nself-description libraries.")
set(CPACK_DEBIAN_DAEMON_DEBUGINFO_PACKAGE ON)
set(CPACK_DEBIAN_DAEMON_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/conffiles)
file(WRITE ${CMAKE_BINARY_DIR}/packaging/conffiles
     "${CMAKE_INSTALL_PREFIX}/config/service-monitor/cacert.pem\n")
# The gateway's libraries are not in any package: resolve them in the build tree.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${CMAKE_BINARY_DIR}/platform/logger ${CMAKE_BINARY_DIR}/platform/config-manager
    ${CMAKE_BINARY_DIR}/platform/self-describing)

set(CPACK_DEBIAN_STANDINS_PACKAGE_NAME service-monitor-standins)
set(CPACK_DEBIAN_STANDINS_DESCRIPTION
    "Stand-ins of the gateway libraries the service monitor uses\nFor development and test machines only: a gateway provides the real logger,\nconfiguration manager and self-description libraries, the configuration\nmanager service and cfgtool.")
set(CPACK_DEBIAN_STANDINS_DEBUGINFO_PACKAGE ON)

include(CPack)
