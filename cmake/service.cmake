# The boot service: the tavo daemon, the operator tools and their installation (debian/ packages it).

# A system daemon: installed under /usr unless the builder chose another prefix.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Installation prefix" FORCE)
endif()
include(GNUInstallDirs)

# The daemon's work directory is fixed; configuration and firmware live under it.
set(TAVO_ETC_DIR /etc/varnel)

if(NOT (TARGET tavo_files AND TARGET tavo_net AND TARGET tavo_config))
  message(STATUS "tavo: servers or configuration not available yet, daemon not built")
  return()
endif()

# --- The daemon ------------------------------------------------------------------------------
# Debian's cpp-httplib is a shared library whose header must see the same options it was built
# with (OpenSSL, zlib, brotli): pkg-config gives both.
find_package(PkgConfig REQUIRED)
pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)

# The HTTP listener is a module of its own, loaded only when a port is configured: the library
# maps OpenSSL, zlib and brotli, megabytes of resident memory an idle daemon need not pay.
add_library(tavo-metrics-http MODULE Tools/TAVO/KHttplibEndpoint.cpp)
set_target_properties(tavo-metrics-http PROPERTIES PREFIX "" LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_link_libraries(tavo-metrics-http PRIVATE PkgConfig::HTTPLIB)
install(TARGETS tavo-metrics-http LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/tavo)

add_library(tavo_service STATIC
  Tools/TAVO/TAVOService.cpp
  Tools/TAVO/KControlServer.cpp
  Tools/TAVO/KMetricsHttpServer.cpp
  Tools/TAVO/KCapabilities.cpp
  Tools/TAVO/KBOOTPPrintfNotifier.cpp
  Tools/TAVO/KTFTPPrintfNotifier.cpp)
target_link_libraries(tavo_service PUBLIC tavo_files tavo_net tavo_config basekit ${CMAKE_DL_LIBS})
target_compile_definitions(tavo_service PRIVATE TAVO_VERSION="${PROJECT_VERSION}"
                           TAVO_MODULE_DIR="${CMAKE_INSTALL_FULL_LIBDIR}/tavo")
add_dependencies(tavo_service tavo-metrics-http)

add_executable(tavo Tools/TAVO/main.cpp)
target_link_libraries(tavo PRIVATE tavo_service tavo_files tavo_net tavo_config basekit)

# --- Configuration checker -------------------------------------------------------------------
add_library(tavo_checker STATIC tools/KConfigChecker.cpp)
target_link_libraries(tavo_checker PUBLIC tavo_files tavo_net tavo_config basekit yaml-cpp)

add_executable(tavo-check-config tools/tavo-check-config.cpp)
target_link_libraries(tavo-check-config PRIVATE tavo_checker)

# --- The operators' client of the control socket ----------------------------------------------
add_executable(tavoctl tools/tavoctl.cpp)
# Only the wire-text escaping of the host layer; the rest of the daemon stays out.
target_link_libraries(tavoctl PRIVATE basekit_host)
# Whatever builds the daemon builds its client too (the package build names only the daemon).
add_dependencies(tavo tavoctl)

# --- Unit tests ------------------------------------------------------------------------------
# The daemon's unit tests, every area's in one executable (one link).
tavo_unit_test(tavo_daemon_test
  SOURCES ${TAVO_DAEMON_TESTS} tests/tools/KConfigCheckerTest.cpp tests/TAVO/KMetricsHttpServerTest.cpp
  LIBS tavo_daemon_test_kit tavo_checker tavo_service PkgConfig::HTTPLIB)

# --- Man pages (compressed, as Debian installs them) -----------------------------------------
set(TAVO_MAN_PAGES packaging/man/tavo.8 packaging/man/tavo-check-config.1 packaging/man/ndx-board-sim.1
                   packaging/man/tavoctl.1)
set(TAVO_MAN_OUTPUTS)
foreach(page ${TAVO_MAN_PAGES})
  get_filename_component(name ${page} NAME)
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${name})
  set(out ${CMAKE_CURRENT_BINARY_DIR}/man/${name}.gz)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
    COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/${page} > ${out}
    DEPENDS ${PROJECT_SOURCE_DIR}/${page}
    COMMENT "Compressing man page ${name}")
  list(APPEND TAVO_MAN_OUTPUTS ${out})
  install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(tavo_man_pages ALL DEPENDS ${TAVO_MAN_OUTPUTS})

# --- Installation ----------------------------------------------------------------------------
# Installing (and packaging) takes what the build made; `make install` and `make package` build
# first. Without this every install would rebuild the whole tree, tests and all.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)
install(TARGETS tavo DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS tavo-check-config tavoctl DESTINATION ${CMAKE_INSTALL_BINDIR})
# The board simulator: a script and its packet modules, which it looks for in ../lib/tavo.
if(EXISTS ${PROJECT_SOURCE_DIR}/tools/ndx-board-sim)
  install(PROGRAMS tools/ndx-board-sim DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(DIRECTORY tools/ndxsim DESTINATION lib/tavo FILES_MATCHING PATTERN "*.py"
          PATTERN "__pycache__" EXCLUDE)
endif()

# Debian 12 keeps units in /lib/systemd/system, where its debhelper finds them to enable them:
# the package build sets this to that directory.
set(TAVO_SYSTEMD_UNIT_DIR lib/systemd/system CACHE STRING "Where the systemd unit is installed (relative: under the prefix)")
install(FILES packaging/systemd/tavo.service DESTINATION ${TAVO_SYSTEMD_UNIT_DIR})
# The log directory and the age limit of rotated logs: the daemon never deletes old/ itself.
install(FILES packaging/tmpfiles/tavo.conf DESTINATION lib/tmpfiles.d)
install(FILES packaging/sysusers/tavo.conf DESTINATION lib/sysusers.d)
# The firmware directory: the daemon writes the boards' generated files there at every start.
install(DIRECTORY DESTINATION ${TAVO_ETC_DIR}/data/am17)

# Example configuration, copied only where the operator has no file of that name yet.
set(TAVO_EXAMPLES_DIR ${PROJECT_SOURCE_DIR}/packaging/examples)
if(IS_DIRECTORY ${TAVO_EXAMPLES_DIR}/config)
  set(TAVO_EXAMPLES_DIR ${TAVO_EXAMPLES_DIR}/config)
endif()
install(CODE "set(TAVO_EXAMPLES_DIR \"${TAVO_EXAMPLES_DIR}\")
set(TAVO_CONFIG_DIR \"${TAVO_ETC_DIR}/config\")")
install(SCRIPT packaging/InstallExamples.cmake)

# --- Installation and package tests ----------------------------------------------------------
add_test(NAME tavo_install_and_package
  COMMAND ${TAVO_SANDBOX} python3 ${PROJECT_SOURCE_DIR}/tests/packaging/test_install.py
          --build ${CMAKE_BINARY_DIR} --source ${PROJECT_SOURCE_DIR})
set_tests_properties(tavo_install_and_package PROPERTIES TIMEOUT 600)
# The hardened unit: systemd's exposure rating and its verify.
add_test(NAME packaging.unit_security
  COMMAND python3 ${PROJECT_SOURCE_DIR}/tests/packaging/test_unit_security.py)
set_tests_properties(packaging.unit_security PROPERTIES TIMEOUT 120 LABELS "hostile")
# The package under a real systemd in a Debian container: only `ctest -C systemd` runs it
# (make test-systemd, which builds the package first), as it needs the package and, the first
# time, the network to debootstrap the container's tree.
add_test(NAME packaging.systemd CONFIGURATIONS systemd
  COMMAND python3 ${PROJECT_SOURCE_DIR}/tests/packaging/test_systemd.py --build ${CMAKE_BINARY_DIR})
set_tests_properties(packaging.systemd PROPERTIES TIMEOUT 2400 LABELS "systemd")
add_test(NAME tavo_check_config_cli
  COMMAND ${TAVO_SANDBOX} python3 ${PROJECT_SOURCE_DIR}/tests/tools/test_check_config_cli.py
          --binary $<TARGET_FILE:tavo-check-config> --source ${PROJECT_SOURCE_DIR})
