# Boost is used header-only, and its headers are the build machine's. The
# directory that holds them (/usr/include) must not be searched by a cross
# compiler, since its C library headers are the build machine's: a
# directory with nothing in it but a link to boost/ shows the compiler
# Boost alone. Included by the cross toolchain files.
set(BREVOK_BOOST_HEADERS ${CMAKE_BINARY_DIR}/boost-headers)
if(NOT EXISTS ${BREVOK_BOOST_HEADERS}/boost)
  file(MAKE_DIRECTORY ${BREVOK_BOOST_HEADERS})
  file(CREATE_LINK /usr/include/boost ${BREVOK_BOOST_HEADERS}/boost SYMBOLIC)
endif()
set(Boost_NO_BOOST_CMAKE ON)
set(Boost_INCLUDE_DIR ${BREVOK_BOOST_HEADERS} CACHE PATH "Boost headers (a link to the build machine's)")
list(APPEND CMAKE_FIND_ROOT_PATH ${BREVOK_BOOST_HEADERS})
