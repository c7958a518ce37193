# Install step: copies the example configuration into the configuration directory, keeping
# every file the operator already has there. Expects TAVO_EXAMPLES_DIR and TAVO_CONFIG_DIR.
# file(INSTALL) puts DESTDIR in front of the destination itself; the check for an existing
# file has to do so by hand.
set(staged "$ENV{DESTDIR}${TAVO_CONFIG_DIR}")
file(MAKE_DIRECTORY "${staged}")
file(GLOB examples LIST_DIRECTORIES false "${TAVO_EXAMPLES_DIR}/*.yaml" "${TAVO_EXAMPLES_DIR}/*.cfg")
foreach(example ${examples})
  get_filename_component(name "${example}" NAME)
  if(EXISTS "${staged}/${name}")
    message(STATUS "Keeping: ${staged}/${name}")
  else()
    file(INSTALL "${example}" DESTINATION "${TAVO_CONFIG_DIR}"
         FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
endforeach()
