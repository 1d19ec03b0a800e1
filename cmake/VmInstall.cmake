# Installation: the shared library, the public header, a CMake package with the imported
# target velmarinthos_tavkin::velmarinthos_tavkin, and a relocatable pkg-config file.
# The command-line tool installs itself from tools/.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VM_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/velmarinthos_tavkin)

install(TARGETS velmarinthos_tavkin EXPORT velmarinthos_tavkin-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/velmarinthos_tavkin.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT velmarinthos_tavkin-targets
  NAMESPACE velmarinthos_tavkin::
  DESTINATION ${VM_CMAKE_PACKAGE_DIR})

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/velmarinthos_tavkinConfig.cmake.in
  ${PROJECT_BINARY_DIR}/velmarinthos_tavkinConfig.cmake
  INSTALL_DESTINATION ${VM_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/velmarinthos_tavkinConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/velmarinthos_tavkinConfig.cmake
              ${PROJECT_BINARY_DIR}/velmarinthos_tavkinConfigVersion.cmake
  DESTINATION ${VM_CMAKE_PACKAGE_DIR})

# The .pc file finds its prefix from its own location, so `cmake --install --prefix P`
# works for any P chosen after configuration.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(VM_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(VM_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  file(RELATIVE_PATH VM_PC_UP /vm-root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /vm-root)
  string(REGEX REPLACE "/$" "" VM_PC_UP "${VM_PC_UP}")
  set(VM_PC_PREFIX "\${pcfiledir}/${VM_PC_UP}")
  set(VM_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(VM_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(VM_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/velmarinthos_tavkin.pc.in
  ${PROJECT_BINARY_DIR}/velmarinthos_tavkin.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/velmarinthos_tavkin.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
