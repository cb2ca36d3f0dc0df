# Install rules, the CMake package, the pkg-config file and the release archives.
#
# The installed tree has a fixed, relocatable layout (no absolute path is written into any file),
# so the same tree works from an install prefix, an unpacked archive or a copied directory:
#
#   include/quor/*.h                      public headers
#   bin/quorkit.dll, lib/libquorkit.dll.a  windows-i686
#   lib/libquorkit.so[.1[.0.0]]            linux-i686
#   lib/quorkit/dbghelp.dll                linux-i686: the PAL's system directory (see below)
#   lib/cmake/quorkit/                     find_package(quorkit CONFIG)
#   lib/pkgconfig/quorkit.pc               pkg-config
#   share/doc/quorkit/README.md
#
# The directories are fixed rather than taken from GNUInstallDirs on purpose: a multiarch libdir
# (lib/i386-linux-gnu under /usr) would break the relative paths of quorkit.pc and of the PAL's
# system directory, and the archives must look the same whatever the prefix.
include(CMakePackageConfigHelpers)

set(QUORKIT_INSTALL_CMAKEDIR "lib/cmake/quorkit")

install(TARGETS quorkit EXPORT quorkitTargets
  RUNTIME DESTINATION bin
  LIBRARY DESTINATION lib
  ARCHIVE DESTINATION lib
  INCLUDES DESTINATION include)

# Globbed like the sources: a new public header is installed (and shows in the committed listing
# of tests/install, which is then updated on purpose).
file(GLOB QUORKIT_PUBLIC_HEADERS CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/include/quor/*.h")
install(FILES ${QUORKIT_PUBLIC_HEADERS} DESTINATION include/quor)

# The Linux dbghelp.dll goes into the PAL's default system directory, lib/quorkit beside
# libquorkit.so. That is where LoadLibraryA finds it after the executable's own directory; as on
# Windows, the debug-help module treats the system directory's copy as the operating system's and
# asks for a copy beside the executable, so an application ships its own (copied from here).
if(TARGET dbghelp)
  # It resolves the PAL's functions from libquorkit.so, one directory up.
  set_property(TARGET dbghelp APPEND PROPERTY INSTALL_RPATH "$ORIGIN/..")
  install(TARGETS dbghelp LIBRARY DESTINATION lib/quorkit RUNTIME DESTINATION lib/quorkit)
endif()

# What the install rules need built, and nothing more: `cmake --install` and cpack then do not
# build the whole tree first (tests, benchmarks, examples), and scripts/package builds only this.
add_custom_target(quorkit_installables)
add_dependencies(quorkit_installables quorkit)
if(TARGET dbghelp)
  add_dependencies(quorkit_installables dbghelp)
endif()
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

install(EXPORT quorkitTargets NAMESPACE quorkit:: DESTINATION "${QUORKIT_INSTALL_CMAKEDIR}")

# The build's own platform, so that the package refuses a consumer aimed at the other one.
if(WIN32)
  set(QUORKIT_TARGET_SYSTEM "Windows")
else()
  set(QUORKIT_TARGET_SYSTEM "Linux")
endif()
configure_package_config_file("${PROJECT_SOURCE_DIR}/cmake/quorkitConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/package/quorkitConfig.cmake"
  INSTALL_DESTINATION "${QUORKIT_INSTALL_CMAKEDIR}"
  NO_SET_AND_CHECK_MACRO NO_CHECK_REQUIRED_COMPONENTS_MACRO)
# ARCH_INDEPENDENT: the generated pointer-size check would reject a 64-bit consumer silently
# ("version: 1.0.0 (32bit)" among the files considered). quorkitConfig.cmake makes that check
# itself and says why.
write_basic_package_version_file("${PROJECT_BINARY_DIR}/package/quorkitConfigVersion.cmake"
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES "${PROJECT_BINARY_DIR}/package/quorkitConfig.cmake"
              "${PROJECT_BINARY_DIR}/package/quorkitConfigVersion.cmake"
        DESTINATION "${QUORKIT_INSTALL_CMAKEDIR}")

configure_file("${PROJECT_SOURCE_DIR}/cmake/quorkit.pc.in" "${PROJECT_BINARY_DIR}/package/quorkit.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/package/quorkit.pc" DESTINATION lib/pkgconfig)

install(FILES "${PROJECT_SOURCE_DIR}/README.md" DESTINATION share/doc/quorkit)

# ---- Release archives: scripts/package runs cpack in each target's build tree ------------------
if(WIN32)
  set(CPACK_GENERATOR "ZIP")
  set(QUORKIT_PACKAGE_SYSTEM "windows-i686")
else()
  set(CPACK_GENERATOR "TGZ")
  set(QUORKIT_PACKAGE_SYSTEM "linux-i686")
endif()
set(CPACK_PACKAGE_NAME "quorkit")
set(CPACK_PACKAGE_VENDOR "quorkit")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "quorkit: a C++ platform layer for 32-bit Windows, also built for 32-bit Linux")
set(CPACK_PACKAGE_FILE_NAME "quorkit-${PROJECT_VERSION}-${QUORKIT_PACKAGE_SYSTEM}")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
# One archive holding every component (runtime and development alike).
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
include(CPack)
