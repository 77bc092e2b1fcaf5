# The Debian package: `cpack -G DEB` in a build directory packs what `cmake --install`
# puts under the prefix, less the Python module (pip installs that): the programs
# (pelund, pelund-verify, pelund-ck, and pelund-mpi where it was built), their manual
# pages, and the library with its header and package configuration, below /usr.
set(CPACK_PACKAGE_NAME pelund)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "pelund developers")
# The maintainer field; a packager names themself with -DCPACK_PACKAGE_CONTACT=...
if(NOT CPACK_PACKAGE_CONTACT)
  set(CPACK_PACKAGE_CONTACT "pelund maintainers <pelund-maintainers@example.org>")
endif()
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "covering sets of the numbers k*b^n+c")
# The long description, in lines as dpkg shows them below the summary.
string(JOIN "\n" CPACK_DEBIAN_PACKAGE_DESCRIPTION
       "pelund searches a range of multipliers k for covering sets of k*b^n+c"
       "(c = 1: Sierpinski, c = -1: Riesel): a few primes, each with the order of b"
       "dividing a period P, that divide every term between them."
       "."
       "pelund-verify proves the lines of its results again, pelund-ck tables the"
       "smallest covered k of many bases, and pelund-mpi spreads a search over the"
       "ranks of an MPI job. The C++ library with its header and CMake package"
       "configuration is included.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# Packed from the install components, all in one package; the Python module's is left out.
set(CPACK_COMPONENTS_ALL programs library)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # pelund_VERSION_ARCH.deb
set(CPACK_DEBIAN_PACKAGE_SECTION math)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The shared libraries the programs load, as dpkg-shlibdeps finds them (Debian:
# dpkg-dev); without it, the C and C++ runtimes by name, Open MPI's where
# pelund-mpi is packed, and FLINT's where the library factors with it. dpkg-shlibdeps'
# list is added to the one given here.
find_program(PELUND_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(PELUND_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
  if(PELUND_MPI)
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libopenmpi3")
  endif()
  if(PELUND_HAVE_FLINT)
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libflint17")
  endif()
endif()
# A program built against the packed library links FLINT and GMP (the package
# configuration names them), which needs their development files.
if(PELUND_HAVE_FLINT)
  if(CPACK_DEBIAN_PACKAGE_DEPENDS)
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", ")
  endif()
  string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS "libflint-dev, libgmp-dev")
endif()
set(CPACK_GENERATOR DEB)
include(CPack)
