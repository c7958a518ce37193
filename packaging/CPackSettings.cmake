# The Debian package built by `make package`.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "tavo maintainers <tavo@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Tavoline, network boot service for NDX telephony boards")
set(CPACK_PACKAGE_DESCRIPTION
  "Answers the BOOTP requests of NDX boards, serves their firmware and generated
configuration files by TFTP and gives them the time (RFC 868). Includes
tavo-check-config, which checks a configuration before the daemon loads it, and
ndx-board-sim, which boots a simulated board against a running daemon.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The board simulator is a Python script.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3")
set(CPACK_STRIP_FILES ON)
# The files under /etc come from an install script, so the staging area has to be a DESTDIR
# (never the real /etc) and the package prefix is the real one.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})

# The example configuration files are the operator's to edit: dpkg keeps changed ones.
file(GLOB tavo_conffiles LIST_DIRECTORIES false CONFIGURE_DEPENDS
  "${TAVO_EXAMPLES_DIR}/*.yaml" "${TAVO_EXAMPLES_DIR}/*.cfg")
if(tavo_conffiles)
  set(conffiles_text "")
  foreach(file ${tavo_conffiles})
    get_filename_component(name ${file} NAME)
    string(APPEND conffiles_text "${TAVO_ETC_DIR}/config/${name}\n")
  endforeach()
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/debian/conffiles "${conffiles_text}")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/debian/conffiles)
endif()

include(CPack)
