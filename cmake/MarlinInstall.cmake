# Install and export: find_package(marlin) gives marlin::marlin (libmarlin.so) and, on the
# desktop, the platform stand-in marlin::ohaudio (libohaudio.so: <ohaudio/virtual_device.h>),
# marlin::hilog (libhilog_ndk.z.so: <hilog/log_sink.h>) and marlin::webrtc_nsx, and the decoders
# marlin::receiver (libmarlin_receiver.a). pkg-config gives marlin (libmarlin.so) and, on the
# desktop, marlin-platform (the stand-in's control headers and libraries). The targets' own
# install rules are in src/, platform/ and receiver/.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(MARLIN_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/marlin)

install(EXPORT marlinTargets
  NAMESPACE marlin::
  FILE marlinTargets.cmake
  DESTINATION ${MARLIN_CMAKE_INSTALL_DIR})

configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/marlinConfig.cmake.in
  ${PROJECT_BINARY_DIR}/marlinConfig.cmake
  INSTALL_DESTINATION ${MARLIN_CMAKE_INSTALL_DIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/marlinConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/marlinConfig.cmake
  ${PROJECT_BINARY_DIR}/marlinConfigVersion.cmake
  DESTINATION ${MARLIN_CMAKE_INSTALL_DIR})

# marlin.pc locates the prefix from its own directory, so the tree can be installed with
# `cmake --install build --prefix DIR` anywhere.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(MARLIN_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(MARLIN_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  file(RELATIVE_PATH MARLIN_PC_UP "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
  string(REGEX REPLACE "/$" "" MARLIN_PC_UP "${MARLIN_PC_UP}")
  set(MARLIN_PC_PREFIX "\${pcfiledir}/${MARLIN_PC_UP}")
  set(MARLIN_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(MARLIN_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(MARLIN_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/marlin.pc.in ${PROJECT_BINARY_DIR}/marlin.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/marlin.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(TARGET marlin_ohaudio AND NOT MARLIN_DEVICE)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/marlin-platform.pc.in
    ${PROJECT_BINARY_DIR}/marlin-platform.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/marlin-platform.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()
