# Packages: a .deb of the Linux program, laid out as Debian expects, and a
# .zip of appduck.exe with a README for Windows users.
set(CPACK_PACKAGE_NAME appduck)
set(CPACK_PACKAGE_VENDOR "The appduck project")
# No person: the project itself; it has no mail address of its own, so the
# address is one that RFC 2606 reserves as invalid.
set(CPACK_PACKAGE_CONTACT "The appduck project <maintainers@appduck.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "lowers and restores other applications' volume on command")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
    # Text files as Windows users open them: CR LF line ends, a .txt name.
    configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/README.txt
        ${CMAKE_CURRENT_BINARY_DIR}/windows/README.txt NEWLINE_STYLE CRLF @ONLY)
    configure_file(${PROJECT_SOURCE_DIR}/LICENSE
        ${CMAKE_CURRENT_BINARY_DIR}/windows/LICENSE.txt NEWLINE_STYLE CRLF @ONLY)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/windows/README.txt
        ${CMAKE_CURRENT_BINARY_DIR}/windows/LICENSE.txt DESTINATION .)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_SYSTEM_NAME win64)
else()
    # Debian's places: the licence as copyright, a compressed changelog.
    set(debian_changelog ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.Debian.gz)
    add_custom_command(OUTPUT ${debian_changelog}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/debian
        COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/packaging/debian/changelog > ${debian_changelog}
        DEPENDS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog
        COMMENT "Compressing the Debian changelog")
    add_custom_target(package_documents ALL DEPENDS ${debian_changelog})
    install(FILES README.md ${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${debian_changelog}
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
    set(CPACK_GENERATOR DEB)
    # The binary's own libraries (libc) come from dpkg-shlibdeps; libpulse
    # is loaded at run time, which dpkg-shlibdeps cannot see.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libpulse0 (>= 14)")
    set(CPACK_DEBIAN_PACKAGE_SECTION sound)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    # Not a Debian-native package: a revision, and changelog.Debian.gz.
    set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
    # The summary is the synopsis line; this is the long description under it.
    set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "A controlling program (a voice assistant, a push-to-talk client, a screen
reader, a streaming tool) starts appduck and writes one command per line:
list the applications playing sound, duck named applications to a share of
their own volume with a short ramp, and restore them. appduck answers each
command with one line of JSON. Whatever way appduck or its controller ends,
the ducked applications come back: at the end of input, on a stop signal,
and, through a small keeper process, when appduck itself is killed.
.
It works with PulseAudio and with PipeWire's pulse server.")
endif()
include(CPack)
