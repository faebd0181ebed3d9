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
  install(TARGETS KivANSIAPI_shared LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/KivANSIAPI/KivANSIAPI.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

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
