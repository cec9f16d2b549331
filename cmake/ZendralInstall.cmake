# Install rules for the C++ library: the static library, every header of
# include/zendral/, the CMake package (find_package(zendral CONFIG) gives
# zendral::core) and a pkg-config file. The Python module is installed by
# pip, not here.
include(CMakePackageConfigHelpers)

set(zendral_config_dir "${CMAKE_INSTALL_LIBDIR}/cmake/zendral")
install(TARGETS zendral_core EXPORT zendralTargets
        ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}")
install(DIRECTORY include/zendral DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")
install(EXPORT zendralTargets NAMESPACE zendral:: DESTINATION "${zendral_config_dir}")

configure_package_config_file(cmake/zendralConfig.cmake.in zendralConfig.cmake
                              INSTALL_DESTINATION "${zendral_config_dir}")
# Before 1.0 a minor release may change the API.
write_basic_package_version_file(zendralConfigVersion.cmake COMPATIBILITY SameMinorVersion)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/zendralConfig.cmake"
              "${CMAKE_CURRENT_BINARY_DIR}/zendralConfigVersion.cmake"
        DESTINATION "${zendral_config_dir}")

# The .pc file finds the tree from its own place, so `cmake --install
# --prefix` and a moved tree keep working.
set(zendral_pc_dir "${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig")
file(RELATIVE_PATH zendral_pc_prefix "${zendral_pc_dir}" "${CMAKE_INSTALL_PREFIX}")
file(RELATIVE_PATH zendral_pc_libdir "${zendral_pc_dir}" "${CMAKE_INSTALL_FULL_LIBDIR}")
file(RELATIVE_PATH zendral_pc_includedir "${zendral_pc_dir}" "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
configure_file(cmake/zendral.pc.in zendral.pc @ONLY)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/zendral.pc" DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
