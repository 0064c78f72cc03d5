# Packages of the installed agent (its binary and manual page), made by
# cpack in the build directory:
#   Linux:   a .deb and a .tar.gz   (cpack -G DEB, cpack -G TGZ, or plain cpack)
#   Windows: a .zip                 (cpack -G ZIP)
# The names carry the target, not the build machine, so that the packages
# of a cross build are told apart: brevok-file-agent-4.0.0-linux-x86_64.tar.gz,
# brevok-file-agent-4.0.0-windows-x86_64.zip, brevok-file-agent_4.0.0_arm64.deb.

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "brevok")
# A release can name a real address: -DCPACK_PACKAGE_CONTACT="Name <address>".
if(NOT CPACK_PACKAGE_CONTACT)
  set(CPACK_PACKAGE_CONTACT "brevok-file-agent maintainers")
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

# Only what the agent's own install rules name goes in, and stripped: cpack
# installs with stripping on.
set(CPACK_STRIP_FILES ON)

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
