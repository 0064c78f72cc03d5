# Read by cpack once for each generator: the install components that make
# up that generator's package (see cmake/packaging.cmake). The .deb has its
# own compressed manual page and no LICENSE (its copyright file points to
# Debian's copy of the license); the archives have the page as written and
# LICENSE.
list(GET CPACK_INSTALL_CMAKE_PROJECTS 0 brevok_build)
if(CPACK_GENERATOR STREQUAL "DEB")
  set(brevok_components agent deb)
else()
  set(brevok_components agent manual archive)
endif()
set(CPACK_INSTALL_CMAKE_PROJECTS "")
foreach(component IN LISTS brevok_components)
  list(APPEND CPACK_INSTALL_CMAKE_PROJECTS "${brevok_build}" brevok-file-agent ${component} /)
endforeach()
