# What `cmake --install` puts on a system, and the .deb that CPack makes of it.
# Only the program and its data files are installed, all in the component "murravo": the
# tests, benchmarks and static libraries of the build never are.
include(GNUInstallDirs)

set(MURRAVO_APP_ID com.brindleoak.murravo)
set(MURRAVO_ICON_SIZES 16 22 24 32 48 64 128 256 512)
set(packaging_dir ${PROJECT_SOURCE_DIR}/packaging/linux)
set(staged_dir ${PROJECT_BINARY_DIR}/packaging)
set(app_icon ${PROJECT_SOURCE_DIR}/resources/icons/app.svg)

install(TARGETS murravo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT murravo)

install(FILES ${packaging_dir}/${MURRAVO_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT murravo)
configure_file(${packaging_dir}/${MURRAVO_APP_ID}.metainfo.xml ${staged_dir}/${MURRAVO_APP_ID}.metainfo.xml @ONLY)
install(FILES ${staged_dir}/${MURRAVO_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT murravo)

# The in-program icon is the theme icon too: scalable as it is, and rendered for each fixed size.
install(FILES ${app_icon} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
        RENAME ${MURRAVO_APP_ID}.svg COMPONENT murravo)
find_program(RSVG_CONVERT rsvg-convert REQUIRED)
set(rendered_icons "")
foreach(size IN LISTS MURRAVO_ICON_SIZES)
  set(png ${staged_dir}/icons/${size}x${size}/${MURRAVO_APP_ID}.png)
  add_custom_command(OUTPUT ${png}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${staged_dir}/icons/${size}x${size}
    COMMAND ${RSVG_CONVERT} --width=${size} --height=${size} --output=${png} ${app_icon}
    DEPENDS ${app_icon} VERBATIM)
  list(APPEND rendered_icons ${png})
  install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps COMPONENT murravo)
endforeach()

# Debian wants the manual page and the changelog compressed, without a time stamp (-n) so that
# two builds of the same sources give the same bytes.
set(compressed_docs "")
foreach(doc IN ITEMS murravo.1 changelog)
  configure_file(${packaging_dir}/${doc} ${staged_dir}/${doc} @ONLY)
  add_custom_command(OUTPUT ${staged_dir}/${doc}.gz
    COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" sh ${staged_dir}/${doc} ${staged_dir}/${doc}.gz
    DEPENDS ${staged_dir}/${doc} VERBATIM)
  list(APPEND compressed_docs ${staged_dir}/${doc}.gz)
endforeach()
install(FILES ${staged_dir}/murravo.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT murravo)
# The package's name, not the project's capitalised one that CMAKE_INSTALL_DOCDIR would use.
install(FILES ${packaging_dir}/copyright ${staged_dir}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/murravo COMPONENT murravo)

add_custom_target(murravo_install_data ALL DEPENDS ${rendered_icons} ${compressed_docs})

# The .deb: `cpack -G DEB` in the build folder (scripts/package.sh).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME murravo)
set(CPACK_PACKAGE_VENDOR Brindleoak)
set(CPACK_PACKAGE_CONTACT "Murravo developers <murravo@brindleoak.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "encrypted vault for confidential documents")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# Only the component "murravo", as one package of the usual name.
set(CPACK_COMPONENTS_ALL murravo)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded at run time, so dpkg-shlibdeps cannot see them: the SVG icon engine and image plugin.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6svg6")
# The keys that seal the local records live in a Secret Service keyring; without one the
# program keeps them in owner-only key files.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gnome-keyring")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Murravo keeps confidential documents in one encrypted vault file on this
computer, unlocked by a local account with a master password (Argon2id) and
optional two-factor codes from an authenticator app.

Imported files are encrypted, each under its own key, and the original is
securely erased. Images, text, PDF, Word and Excel documents are viewed
inside the program without plaintext reaching the disk. The vault opens only
on the computer it was made on, refuses to be rolled back to an older copy
and survives a crash at any instant.")
include(CPack)
