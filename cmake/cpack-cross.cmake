# Read by cpack for a cross build (CPACK_PROJECT_CONFIG_FILE): CPackDeb runs
# this program in place of dpkg-shlibdeps.
set(SHLIBDEPS_EXECUTABLE ${CMAKE_CURRENT_LIST_DIR}/cross-shlibdeps.sh)
