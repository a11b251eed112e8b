# Packages: .debs of the Linux program and of the Python and Node.js
# clients, laid out as Debian expects, and a .zip of appduck.exe with a
# README and the Python client for Windows users. One component each.
set(CPACK_PACKAGE_NAME appduck)
set(CPACK_PACKAGE_VENDOR "The appduck project")
# No person: the project itself; it has no mail address of its own, so the
# address is one that RFC 2606 reserves as invalid.
set(CPACK_PACKAGE_CONTACT "The appduck project <maintainers@appduck.invalid>")
set(summary "lowers and restores other applications' volume on command")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
    set(CPACK_PACKAGE_DESCRIPTION_SUMMARY ${summary})
    # Text files as Windows users open them: CR LF line ends, a .txt name.
    configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/README.txt
        ${CMAKE_CURRENT_BINARY_DIR}/windows/README.txt NEWLINE_STYLE CRLF @ONLY)
    configure_file(${PROJECT_SOURCE_DIR}/LICENSE
        ${CMAKE_CURRENT_BINARY_DIR}/windows/LICENSE.txt NEWLINE_STYLE CRLF @ONLY)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/windows/README.txt
        ${CMAKE_CURRENT_BINARY_DIR}/windows/LICENSE.txt DESTINATION . COMPONENT appduck)
    # The Python client, which finds appduck.exe two folders up.
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/clients/python/appduck DESTINATION python
        COMPONENT python FILES_MATCHING PATTERN "*.py" PATTERN "py.typed")
    # What pip needs to install that folder.
    install(FILES ${PROJECT_SOURCE_DIR}/clients/python/pyproject.toml
        ${PROJECT_SOURCE_DIR}/clients/python/README.md DESTINATION python COMPONENT python)
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
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/appduck COMPONENT appduck)
    set(CPACK_GENERATOR DEB)
    set(CPACK_DEB_COMPONENT_INSTALL ON)
    set(CPACK_COMPONENTS_ALL appduck python node)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    # Not a Debian-native package: a revision, and changelog.Debian.gz.
    set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
    set(debian_version "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")

    # The program. Its own libraries (libc) come from dpkg-shlibdeps;
    # libpulse is loaded at run time, which dpkg-shlibdeps cannot see.
    set(CPACK_DEBIAN_APPDUCK_PACKAGE_NAME appduck)
    set(CPACK_DEBIAN_APPDUCK_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_APPDUCK_PACKAGE_DEPENDS "libpulse0 (>= 14)")
    set(CPACK_DEBIAN_APPDUCK_PACKAGE_SECTION sound)
    # Each package's description: its synopsis line, then the long one.
    # (CPack would put one summary before all three: none is set here.)
    set(CPACK_DEBIAN_APPDUCK_DESCRIPTION "${summary}
A controlling program (a voice assistant, a push-to-talk client, a screen
reader, a streaming tool) starts appduck and writes one command per line:
list the applications playing sound, duck named applications to a share of
their own volume with a short ramp, and restore them. appduck answers each
command with one line of JSON. Whatever way appduck or its controller ends,
the ducked applications come back: at the end of input, on a stop signal,
and, through a small keeper process, when appduck itself is killed.
.
It works with PulseAudio and with PipeWire's pulse server.")

    # The clients: the same copyright and changelog in each one's place.
    foreach(client python node)
        set(package python3-appduck)
        if(client STREQUAL node)
            set(package node-appduck)
        endif()
        install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${debian_changelog}
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${client})
    endforeach()
    # Where Debian's python3 finds a module.
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/clients/python/appduck
        DESTINATION lib/python3/dist-packages COMPONENT python
        FILES_MATCHING PATTERN "*.py" PATTERN "py.typed")
    set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-appduck)
    set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
    set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
    set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3:any (>= 3.9), appduck (= ${debian_version})")
    set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA
        ${PROJECT_SOURCE_DIR}/packaging/debian/python3-appduck/postinst
        ${PROJECT_SOURCE_DIR}/packaging/debian/python3-appduck/prerm)
    set(CPACK_DEBIAN_PYTHON_DESCRIPTION "Python client of appduck
Drives appduck, which lowers and restores other applications' volume on
command, from Python 3: list, duck, restore and spare as calls, a ducked
block that restores on exit (after a hold), and an asyncio flavour.")

    # Where Debian's nodejs finds a module (/usr/share/nodejs), and where
    # NodeSource's does (/usr/lib/node), the same files.
    install(FILES ${PROJECT_SOURCE_DIR}/clients/node/package.json
        ${PROJECT_SOURCE_DIR}/clients/node/index.js ${PROJECT_SOURCE_DIR}/clients/node/index.mjs
        ${PROJECT_SOURCE_DIR}/clients/node/index.d.ts ${PROJECT_SOURCE_DIR}/clients/node/README.md
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/nodejs/appduck COMPONENT node)
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/clients/node/lib
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/nodejs/appduck COMPONENT node)
    file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/node-link)
    file(CREATE_LINK ../../share/nodejs/appduck ${CMAKE_CURRENT_BINARY_DIR}/node-link/appduck
        SYMBOLIC)
    install(DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/node-link/ DESTINATION lib/node COMPONENT node)
    set(CPACK_DEBIAN_NODE_PACKAGE_NAME node-appduck)
    set(CPACK_DEBIAN_NODE_PACKAGE_ARCHITECTURE all)
    set(CPACK_DEBIAN_NODE_PACKAGE_SECTION javascript)
    set(CPACK_DEBIAN_NODE_PACKAGE_DEPENDS "nodejs, appduck (= ${debian_version})")
    set(CPACK_DEBIAN_NODE_DESCRIPTION "Node.js client of appduck
Drives appduck, which lowers and restores other applications' volume on
command, from Node.js: list, duck, restore and spare as promises with
timeouts and abort signals, and a ducked block that restores after it.")
endif()
include(CPack)
