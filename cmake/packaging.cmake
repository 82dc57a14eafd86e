# Installation and the Debian package (CPack). The version is the project's, and only there.
include(GNUInstallDirs)
install(TARGETS dualcap dualcap-split RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

if(NOT WIN32)
    set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/dualcap)
    # Debian keeps a package's licence as "copyright" and its changelogs compressed, the
    # upstream one as changelog.gz and the packaging's own as changelog.Debian.gz.
    file(READ ${PROJECT_SOURCE_DIR}/LICENSE license_text)
    file(WRITE ${CMAKE_BINARY_DIR}/doc/copyright
         "dualcap ${PROJECT_VERSION}\n\nUpstream: the dualcap authors\n\n${license_text}")
    string(TIMESTAMP release_date "%a, %d %b %Y 00:00:00 +0000" UTC)
    file(WRITE ${CMAKE_BINARY_DIR}/doc/changelog.Debian
         "dualcap (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
         "  * Packaged from the upstream release; see changelog.gz.\n\n"
         " -- ${DUALCAP_MAINTAINER}  ${release_date}\n")
    foreach(log CHANGELOG.md doc/changelog.Debian)
        if(log STREQUAL CHANGELOG.md)
            set(from ${PROJECT_SOURCE_DIR}/${log})
            set(to ${CMAKE_BINARY_DIR}/doc/changelog.gz)
        else()
            set(from ${CMAKE_BINARY_DIR}/${log})
            set(to ${CMAKE_BINARY_DIR}/doc/changelog.Debian.gz)
        endif()
        execute_process(COMMAND gzip -9nc ${from} OUTPUT_FILE ${to})
    endforeach()
    install(FILES README.md docs/stream-format.md DESTINATION ${doc_dir})
    install(FILES ${CMAKE_BINARY_DIR}/doc/copyright ${CMAKE_BINARY_DIR}/doc/changelog.gz
                  ${CMAKE_BINARY_DIR}/doc/changelog.Debian.gz
            DESTINATION ${doc_dir})

    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGE_NAME dualcap)
    set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_STRIP_FILES ON)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${DUALCAP_MAINTAINER})
    set(CPACK_DEBIAN_PACKAGE_SECTION sound)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
    set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
        OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "capture microphone and playback as one PCM stream")
    # The synopsis comes first by itself; CPack indents these lines and dots the empty one.
    string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
           "dualcap captures the default microphone and what the computer is playing\n"
           "(the default output's monitor) at the same time, through PulseAudio or\n"
           "PipeWire, and writes both to standard output as one stream of tagged,\n"
           "length-prefixed chunks of 16 kHz mono signed 16-bit PCM, for programs such\n"
           "as speech recognisers to read. Each source keeps time: lost audio comes out\n"
           "as silence of the same length.\n"
           "\n"
           "dualcap-split splits such a stream into one WAV file per source.")
    include(CPack)
endif()
