# Installation: the programs, the client library with its header and
# pkg-config file, the default configuration, the example's source and a
# systemd unit for the dispatcher. Paths follow GNUInstallDirs and stay
# relative to the prefix, so `cmake --install build --prefix <dir>` yields a
# complete tree under <dir>.

include(GNUInstallDirs)

set(KIV_CONFIG_INSTALL_DIR ${CMAKE_INSTALL_SYSCONFDIR}/kiv/cfg)

foreach(program kivserver kivtool)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

if(TARGET KivANSIAPI_shared)
  install(TARGETS KivANSIAPI_shared EXPORT KivANSIAPITargets LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
          INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/KivANSIAPI/KivANSIAPI.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

  # find_package(KivANSIAPI), beside the pkg-config file; relocatable like it.
  include(CMakePackageConfigHelpers)
  set(KIV_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/KivANSIAPI)
  install(EXPORT KivANSIAPITargets NAMESPACE KivANSIAPI:: DESTINATION ${KIV_CMAKE_PACKAGE_DIR})
  configure_package_config_file(${PROJECT_SOURCE_DIR}/packaging/KivANSIAPIConfig.cmake.in
                                ${PROJECT_BINARY_DIR}/packaging/KivANSIAPIConfig.cmake
                                INSTALL_DESTINATION ${KIV_CMAKE_PACKAGE_DIR})
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/packaging/KivANSIAPIConfigVersion.cmake
                                   COMPATIBILITY SameMajorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/KivANSIAPIConfig.cmake
                ${PROJECT_BINARY_DIR}/packaging/KivANSIAPIConfigVersion.cmake DESTINATION ${KIV_CMAKE_PACKAGE_DIR})

  file(RELATIVE_PATH KIV_PC_PREFIX_FROM_PCDIR /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/kivansiapi.pc.in ${PROJECT_BINARY_DIR}/packaging/kivansiapi.pc
                 @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/kivansiapi.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  install(FILES ${PROJECT_SOURCE_DIR}/examples/traced_app.c DESTINATION ${CMAKE_INSTALL_DATADIR}/kiv/examples)
endif()

install(FILES ${PROJECT_SOURCE_DIR}/cfg/KivConfigLinux.xml DESTINATION ${KIV_CONFIG_INSTALL_DIR})

# The unit names absolute paths, which are known only at install time (the
# prefix may be given to cmake --install): it is generated then.
set(KIV_UNIT_FILE ${PROJECT_BINARY_DIR}/packaging/kivserver.service)
install(CODE "
  set(KIV_BIN_DIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  set(KIV_CONFIG_DIR \"\${CMAKE_INSTALL_PREFIX}/${KIV_CONFIG_INSTALL_DIR}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/packaging/kivserver.service.in\" \"${KIV_UNIT_FILE}\" @ONLY)
")
install(FILES ${KIV_UNIT_FILE} DESTINATION lib/systemd/system)

# A Debian package of the installed tree: `cpack -G DEB` in the build
# directory. It installs under CMAKE_INSTALL_PREFIX (configure with
# -DCMAKE_INSTALL_PREFIX=/usr for a system package), so the paths compiled
# into the programs (KIV_DEFAULT_VORNEL_CFG) are the packaged ones. The
# maintainer scripts create group kiv and /var/lib/kiv and enable the unit.
set(CPACK_PACKAGE_NAME kiv)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Runtime trace facility: dispatcher, operator tool and client library")
set(CPACK_PACKAGE_CONTACT "Kiv maintainers <root@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
# The unit names absolute paths made at install time from CMAKE_INSTALL_PREFIX:
# it must be the packaged prefix, not CPack's staging directory.
set(CPACK_SET_DESTDIR ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "passwd")
# The configuration is the administrator's: an upgrade keeps their edits.
file(WRITE ${PROJECT_BINARY_DIR}/packaging/conffiles
     "${CMAKE_INSTALL_PREFIX}/${KIV_CONFIG_INSTALL_DIR}/KivConfigLinux.xml\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/conffiles
                                       ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
                                       ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
                                       ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
