# Packages of the agent, made by cpack in the build directory:
#   Linux:   a .deb and a .tar.gz   (cpack -G DEB, cpack -G TGZ, or plain cpack)
#   Windows: a .zip                 (cpack -G ZIP)
# The names carry the target, not the build machine, so that the packages
# of a cross build are told apart: brevok-file-agent-4.0.0-linux-x86_64.tar.gz,
# brevok-file-agent-4.0.0-windows-x86_64.zip, brevok-file-agent_4.0.0_arm64.deb.

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "brevok")
# The .deb's maintainer, who must have an address; the default one is
# reserved never to resolve, so a release names a real one:
# -DCPACK_PACKAGE_CONTACT="Name <address>".
if(NOT CPACK_PACKAGE_CONTACT)
  set(CPACK_PACKAGE_CONTACT "brevok-file-agent maintainers <maintainers@brevok-file-agent.invalid>")
endif()
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "previews, writes or edits one file per run for a remote controlling tool")
set(CPACK_PACKAGE_DESCRIPTION
  "brevok-file-agent is started by a controlling tool over a remote shell, once
per file operation. It reads one JSON request from standard input, previews
the head of a file, replaces a whole file, or replaces an exact byte string
in a file, and answers with one JSON line on standard output. New content is
written to a temporary file beside the target, synced, renamed into place and
read back before success is reported, so no file is left half-written.")

# The target's processor, in the spelling of the file names (x86_64,
# aarch64) and in Debian's (amd64, arm64).
string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR}" brevok_processor)
if(brevok_processor MATCHES "^(x86_64|amd64)$")
  set(brevok_processor x86_64)
  set(brevok_deb_arch amd64)
elseif(brevok_processor MATCHES "^(aarch64|arm64)$")
  set(brevok_processor aarch64)
  set(brevok_deb_arch arm64)
endif()
string(TOLOWER "${CMAKE_SYSTEM_NAME}" brevok_system)
set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-${brevok_system}-${brevok_processor}")

# Only what the install rules name goes in, and stripped: cpack installs
# with stripping on. Each kind of package takes its own install components
# (chosen per generator by cmake/cpack-components.cmake):
#   agent    the agent                                  all packages
#   manual   the manual page as written                 .tar.gz, .zip
#   archive  LICENSE, at the top                        .tar.gz, .zip
#   deb      the manual page and the changelog          .deb
#            compressed, the copyright file and the
#            lintian override, as Debian's policy asks
# cmake --install installs only the first two, as before.
set(CPACK_STRIP_FILES ON)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack-components.cmake)
install(FILES LICENSE DESTINATION . COMPONENT archive EXCLUDE_FROM_ALL)

if(NOT WIN32)
  # The changelog names the version of this build and, as its date, the
  # time SOURCE_DATE_EPOCH gives (scripts/dist.sh: the last commit's), so
  # that the same sources give the same package. gzip -n leaves the name
  # and time out of the compressed files for the same reason.
  find_program(BREVOK_GZIP gzip REQUIRED)
  string(TIMESTAMP BREVOK_RELEASE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  set(BREVOK_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
  set(deb ${PROJECT_BINARY_DIR}/deb)
  configure_file(cmake/deb/changelog.in ${deb}/changelog @ONLY)
  add_custom_command(OUTPUT ${deb}/brevok-file-agent.1.gz ${deb}/changelog.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_BINARY_DIR}/brevok-file-agent.1 ${deb}/
    COMMAND ${BREVOK_GZIP} -9nf ${deb}/brevok-file-agent.1
    COMMAND ${BREVOK_GZIP} -9nkf ${deb}/changelog
    DEPENDS ${PROJECT_BINARY_DIR}/brevok-file-agent.1 ${deb}/changelog
    VERBATIM)
  add_custom_target(deb-files ALL DEPENDS ${deb}/brevok-file-agent.1.gz ${deb}/changelog.gz)
  # A native package (its version has no Debian revision): the changelog
  # is changelog.gz.
  set(doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/${PROJECT_NAME})
  install(FILES ${deb}/brevok-file-agent.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
    COMPONENT deb EXCLUDE_FROM_ALL)
  install(FILES ${deb}/changelog.gz cmake/deb/copyright DESTINATION ${doc} COMPONENT deb EXCLUDE_FROM_ALL)
  install(FILES cmake/deb/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
    RENAME ${PROJECT_NAME} COMPONENT deb EXCLUDE_FROM_ALL)
endif()

if(WIN32)
  # The manual page goes into the .zip as well: roff source is readable as
  # plain text where no man is at hand.
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR "DEB;TGZ")
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# From the target, since dpkg --print-architecture would name the build
# machine's; another processor is left to CPack (the build machine's).
if(brevok_deb_arch)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${brevok_deb_arch})
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The agent is linked statically: it depends on no package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "")

include(CPack)
