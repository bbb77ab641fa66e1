# What is installed beside the program and the modules (the manual pages, the
# change log, the licence), in two install components, each a Debian
# package: hexshow (the program) and libarith-dev (what a program that calls
# the functions needs). Included by the top-level CMakeLists.txt.

# Manual pages and change logs are installed compressed, as man and Debian
# expect; gzip -n keeps the bytes free of names and times. prodia(3) and
# remia(3) are links to quotia(3), which describes the three.
configure_file(man/hexshow.1.in ${PROJECT_BINARY_DIR}/hexshow.1 @ONLY)
configure_file(man/quotia.3.in ${PROJECT_BINARY_DIR}/quotia.3 @ONLY)
add_custom_command(OUTPUT hexshow.1.gz quotia.3.gz prodia.3.gz remia.3.gz changelog.gz
  COMMAND gzip -9nc hexshow.1 > hexshow.1.gz
  COMMAND gzip -9nc quotia.3 > quotia.3.gz
  COMMAND ${CMAKE_COMMAND} -E create_symlink quotia.3.gz prodia.3.gz
  COMMAND ${CMAKE_COMMAND} -E create_symlink quotia.3.gz remia.3.gz
  COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/CHANGELOG > changelog.gz
  DEPENDS ${PROJECT_BINARY_DIR}/hexshow.1 ${PROJECT_BINARY_DIR}/quotia.3 CHANGELOG
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR})
add_custom_target(compressed_docs ALL
  DEPENDS hexshow.1.gz quotia.3.gz prodia.3.gz remia.3.gz changelog.gz)

# Each package's documents: the licence under the name Debian gives it, and
# the change log.
function(hexshow_documents component docdir)
  install(FILES LICENSE DESTINATION ${docdir} RENAME copyright COMPONENT ${component})
  install(FILES ${PROJECT_BINARY_DIR}/changelog.gz DESTINATION ${docdir} COMPONENT ${component})
endfunction()
hexshow_documents(hexshow ${CMAKE_INSTALL_DOCDIR})
hexshow_documents(libarith-dev ${CMAKE_INSTALL_DATAROOTDIR}/doc/libarith-dev)

install(TARGETS hexshow RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT hexshow)
install(FILES ${PROJECT_BINARY_DIR}/hexshow.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
  COMPONENT hexshow)
install(FILES ${PROJECT_BINARY_DIR}/quotia.3.gz ${PROJECT_BINARY_DIR}/prodia.3.gz
  ${PROJECT_BINARY_DIR}/remia.3.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT libarith-dev)
# The objects and the archive keep their debug records, which lintian would
# have stripped from the archive; the override says why.
install(FILES cmake/libarith-dev.lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME libarith-dev
  COMPONENT libarith-dev)

# Removes what the installs from this build put in place (every
# install_manifest*.txt), and the directories they leave empty.
add_custom_target(uninstall
  COMMAND ${CMAKE_COMMAND} -D BUILD_DIR=${PROJECT_BINARY_DIR}
    -P ${PROJECT_SOURCE_DIR}/cmake/uninstall.cmake
  VERBATIM)

# Packages: cmake --workflow --preset package leaves the two .deb files and a
# .tar.gz of the whole install tree (under /usr) in build/package.
set(CPACK_GENERATOR DEB TGZ)
set(CPACK_PACKAGE_NAME hexshow)
set(CPACK_PACKAGE_VENDOR "The hexshow developers")
set(CPACK_PACKAGE_CONTACT "The hexshow developers <maintainers@hexshow.example.org>")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES bin/hexshow)
set(CPACK_COMPONENTS_ALL hexshow libarith-dev)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE hexshow)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_HEXSHOW_PACKAGE_NAME hexshow)
set(CPACK_DEBIAN_HEXSHOW_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_HEXSHOW_DESCRIPTION "hexadecimal dump of the file numbers.bin
hexshow prints every byte of the file numbers.bin in the current directory
as two uppercase hexadecimal digits and a space, with no offsets and no
line breaks, in memory that does not grow with the file.")
set(CPACK_DEBIAN_LIBARITH-DEV_PACKAGE_NAME libarith-dev)
set(CPACK_DEBIAN_LIBARITH-DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_LIBARITH-DEV_DESCRIPTION "quotient, product and remainder functions (development files)
Three functions with C linkage, each in a relocatable object of its own
and together in the static library libarith.a: quotia, the correctly
rounded quotient of two doubles (+0.0 for a zero divisor), prodia, their
product, and remia, the truncated remainder of two ints, defined for every
divisor. The package holds the header arith/arith.h, the objects, the
library, a pkg-config file, a CMake package and the manual pages.")
# Fields CPack does not write; cmake/repack.cmake adds them. The program's
# behaviour is the same on every architecture; the development files of
# several architectures install side by side.
set(CPACK_HEXSHOW_MULTI_ARCH "hexshow:foreign" "libarith-dev:same")
# dpkg-shlibdeps gives the program's Depends. CPack finds the programs it
# hands to it with file; a missing tool is named here, since cpack alone
# would fail without saying which package to install.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(NOT CMAKE_CROSSCOMPILING)
  find_program(HEXSHOW_FILE file)
  find_program(HEXSHOW_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(NOT HEXSHOW_FILE OR NOT HEXSHOW_DPKG_SHLIBDEPS)
    message(WARNING "The Debian package (cpack -G DEB) needs file and dpkg-shlibdeps "
      "(Debian packages file and dpkg-dev).")
  endif()
endif()

# What cmake/package-options.cmake checks before each package is made.
set(CPACK_HEXSHOW_CROSSCOMPILING ${CMAKE_CROSSCOMPILING})
set(CPACK_HEXSHOW_LIBDIR ${CMAKE_INSTALL_LIBDIR})
set(CPACK_HEXSHOW_MULTIARCH_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE})
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/package-options.cmake)
set(CPACK_HEXSHOW_SOURCE_DATE_EPOCH ${source_date_epoch})
set(CPACK_HEXSHOW_OBJCOPY ${CMAKE_OBJCOPY})
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/repack.cmake)

# package_source: one .tar.gz of the source tree as a release holds it,
# without the version control's files or any build tree.
string(REGEX REPLACE "([][+.*()^$?|\\\\])" "\\\\\\\\\\1" source_dir_pattern "${PROJECT_SOURCE_DIR}")
# Patterns are written into CPack's configuration, hence the doubled escapes.
string(REGEX REPLACE "([][+.*()^$?|\\\\])" "\\\\\\\\\\1" binary_dir_pattern "${PROJECT_BINARY_DIR}")
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION})
set(CPACK_SOURCE_IGNORE_FILES "^${binary_dir_pattern}/" "/\\\\.git/" "/\\\\.git$" "^${source_dir_pattern}/build/")
include(CPack)
