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

# What Debian asks of every package: the copyright file, the changelog and, for the daemon,
# its manual page, the last two compressed as dh_installchangelogs and dh_installman would.
# Each package carries its lintian overrides: the gateway tree lies outside the usual
# hierarchy, so those are written with the prefix the installation uses, like the unit.
set(SM_DOCS ${CMAKE_BINARY_DIR}/packaging)
foreach(doc changelog service_monitor.8)
  add_custom_command(OUTPUT ${SM_DOCS}/${doc}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/packaging/${doc} ${SM_DOCS}/${doc}
    COMMAND gzip -9nf ${SM_DOCS}/${doc}
    DEPENDS ${CMAKE_SOURCE_DIR}/packaging/${doc} VERBATIM)
endforeach()
add_custom_target(package_docs ALL DEPENDS ${SM_DOCS}/changelog.gz ${SM_DOCS}/service_monitor.8.gz)
install(FILES ${SM_DOCS}/service_monitor.8.gz DESTINATION /usr/share/man/man8 COMPONENT daemon)
set(SM_DOC_COMPONENTS daemon)
if(SM_INSTALL_PLATFORM)
  list(APPEND SM_DOC_COMPONENTS standins)
endif()
foreach(component ${SM_DOC_COMPONENTS})
  set(pkg service-monitor)
  if(component STREQUAL standins)
    set(pkg service-monitor-standins)
  endif()
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright DESTINATION /usr/share/doc/${pkg}
          COMPONENT ${component})
  install(FILES ${SM_DOCS}/changelog.gz DESTINATION /usr/share/doc/${pkg}
          RENAME changelog.Debian.gz COMPONENT ${component})
  install(CODE "string(REGEX REPLACE [[^/+]] \"\" SM_TREE \"\${CMAKE_INSTALL_PREFIX}\")
    string(REGEX REPLACE [[/.*]] \"\" SM_TOP \"\${SM_TREE}\")
    configure_file([[${CMAKE_SOURCE_DIR}/packaging/${pkg}.lintian-overrides.in]]
                   [[${SM_DOCS}/${pkg}]] @ONLY)" COMPONENT ${component})
  install(FILES ${SM_DOCS}/${pkg} DESTINATION /usr/share/lintian/overrides COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME service-monitor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# The Debian revision comes from the changelog's latest entry, whose upstream version must
# be the project's: the packages and their changelog never disagree.
file(STRINGS ${CMAKE_SOURCE_DIR}/packaging/changelog SM_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT SM_CHANGELOG_TOP MATCHES "^service-monitor \\(${PROJECT_VERSION}-([0-9]+)\\)")
  message(FATAL_ERROR "packaging/changelog: the latest entry is not ${PROJECT_VERSION}-N: ${SM_CHANGELOG_TOP}")
endif()
set(CPACK_DEBIAN_PACKAGE_RELEASE ${CMAKE_MATCH_1})
set(CPACK_DEBIAN_PACKAGE_SOURCE service-monitor)
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
# CPack's -dbgsym packages lack what Debian's have (their md5sums name the build paths); the
# script mends them after the build.
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/packaging/dbgsym.cmake)

include(CPack)
