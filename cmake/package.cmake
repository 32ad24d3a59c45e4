# The Debian package of the console scanner (native build): what `cmake --install` puts in
# place, below /usr. Its dependencies are computed from the program (dpkg-shlibdeps), so they
# follow whatever the build links.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME krvscan)
set(CPACK_PACKAGE_VENDOR Korvane)
set(CPACK_PACKAGE_CONTACT "Korvane maintainers <maintainers@korvane.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "console scanner and remover for the worm Win32.Worm.Tamsel.A")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "krvscan walks folders, finds the files of the worm by their
signatures and deletes them; it also removes the worm's autostart value from
the registry hive of a Windows installation that is not running, for use on a
rescue system.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# --windows-root loads the registry library when it is asked for: the scan itself needs none.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS libhivex0)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)

# The documentation the manual page's SEE ALSO names: the README with the doc/ folder beside
# it, laid out as in the source so that each of their links still finds its page.
include(GNUInstallDirs)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/krvscan)
install(DIRECTORY doc/ DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/krvscan/doc
        FILES_MATCHING PATTERN "*.md")
