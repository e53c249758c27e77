# Runs at install time (cmake --install, cpack): configures the files that name installed
# paths with the prefix being installed to, then installs them.
set(_prefix "${CMAKE_INSTALL_PREFIX}")
string(MD5 _key "${_prefix}")
set(_out "${JOLTO_PACKAGING_BINARY_DIR}/configured/${_key}")

set(JOLTO_HELPER_INSTALLED "${_prefix}/${JOLTO_HELPER_DIR}/jolto-host-access")
set(JOLTO_HELPER_SELF "${JOLTO_HELPER_INSTALLED}")
set(JOLTO_HELPER_RULES_SOURCE "${_prefix}/${JOLTO_UDEV_RULES_DIR}/70-jolto-host.rules")
set(JOLTO_HELPER_MODULES_SOURCE "${_prefix}/${JOLTO_MODULES_LOAD_DIR}/jolto-host.conf")

configure_file("${JOLTO_PACKAGING_SOURCE_DIR}/helper/jolto-host-access.in"
               "${_out}/jolto-host-access" @ONLY)
configure_file("${JOLTO_PACKAGING_SOURCE_DIR}/polkit/${JOLTO_APP_ID}.policy.in"
               "${_out}/${JOLTO_APP_ID}.policy" @ONLY)

file(INSTALL "${_out}/jolto-host-access" DESTINATION "${_prefix}/${JOLTO_HELPER_DIR}"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                      WORLD_READ WORLD_EXECUTE)
file(INSTALL "${_out}/${JOLTO_APP_ID}.policy"
     DESTINATION "${_prefix}/${JOLTO_DATADIR}/polkit-1/actions")
