# Linux: the administrator's list of allowed extension IDs, tessera-smartcard-register, which
# writes every browser's manifest from it, and the package scripts that call it.

set(TESSERA_ALLOWED_EXTENSIONS_FILE "/etc/tessera-smartcard/allowed-extensions" CACHE FILEPATH
    "The administrator's list of extension IDs allowed to start the host (packages)")
get_filename_component(allowedExtensionsDir "${TESSERA_ALLOWED_EXTENSIONS_FILE}" DIRECTORY)

# The list the packages start with: the IDs this build admits.
set(defaultList
    "# Browser extensions allowed to start the tessera-smartcard host, one ID per line.\n"
    "# Chrome, Chromium, Edge and Brave: the extension ID, 32 letters a-p.\n"
    "# Firefox: the add-on ID, name@domain or {GUID}.\n"
    "# Change it with tessera-smartcard-register add/remove, or edit it and run\n"
    "# tessera-smartcard-register update.\n")
foreach(id IN LISTS chromeIds TESSERA_FIREFOX_EXTENSION_IDS)
  string(APPEND defaultList "${id}\n")
endforeach()
string(CONCAT defaultList ${defaultList})
file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/allowed-extensions.default" "${defaultList}")

# The script finds the binary and its data relative to where it is installed.
file(RELATIVE_PATH registerToBinary "/p/${CMAKE_INSTALL_SBINDIR}"
     "/p/${CMAKE_INSTALL_BINDIR}/tessera-smartcard")
file(RELATIVE_PATH registerToData "/p/${CMAKE_INSTALL_SBINDIR}" "/p/${TESSERA_DATA_DIR}")
set(registerChromiumDirs "")
foreach(dir IN ITEMS ${TESSERA_MANIFEST_DIR_CHROME} ${TESSERA_MANIFEST_DIR_CHROMIUM}
                     ${TESSERA_MANIFEST_DIR_EDGE} ${TESSERA_MANIFEST_DIR_BRAVE})
  string(APPEND registerChromiumDirs " \"${dir}\"")
endforeach()
set(registerStateDir "/var/lib/tessera-smartcard")
set(registerFirefoxDirs "\"${TESSERA_MANIFEST_DIR_FIREFOX}\"")
configure_file(unix/tessera-smartcard-register.in tessera-smartcard-register @ONLY)
install(PROGRAMS "${CMAKE_CURRENT_BINARY_DIR}/tessera-smartcard-register"
        DESTINATION "${CMAKE_INSTALL_SBINDIR}")
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/allowed-extensions.default"
        DESTINATION "${TESSERA_DATA_DIR}")

# Package scripts: the manifests are made on install and upgrade, removed on remove, and purge
# (rpm: erase) also takes the administrator's list.
set(registerCommand "/usr/${CMAKE_INSTALL_SBINDIR}/tessera-smartcard-register")
set(scriptDir "${CMAKE_CURRENT_BINARY_DIR}/package-scripts")
foreach(script IN ITEMS postinst prerm postrm rpm-post rpm-preun rpm-postun)
  configure_file(unix/package-scripts/${script}.in "${scriptDir}/${script}" @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${scriptDir}/postinst;${scriptDir}/prerm;${scriptDir}/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_RPM_POST_INSTALL_SCRIPT_FILE "${scriptDir}/rpm-post")
set(CPACK_RPM_PRE_UNINSTALL_SCRIPT_FILE "${scriptDir}/rpm-preun")
set(CPACK_RPM_POST_UNINSTALL_SCRIPT_FILE "${scriptDir}/rpm-postun")
# rpm knows the list as the package's configuration without installing or checking its contents.
set(CPACK_RPM_USER_FILELIST "%ghost %config(noreplace) ${TESSERA_ALLOWED_EXTENSIONS_FILE}")
