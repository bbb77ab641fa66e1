# What is installed beside the program and the modules (the manual page, the
# change log, the licence), and the packages made of the install tree.
# Included by the top-level CMakeLists.txt.
# The manual page and the change log are installed compressed, as man and
# Debian expect; gzip -n keeps the bytes free of names and times.
configure_file(man/hexshow.1.in ${PROJECT_BINARY_DIR}/hexshow.1 @ONLY)
add_custom_command(OUTPUT hexshow.1.gz changelog.gz
  COMMAND gzip -9nc hexshow.1 > hexshow.1.gz
  COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/CHANGELOG > changelog.gz
  DEPENDS ${PROJECT_BINARY_DIR}/hexshow.1 CHANGELOG
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR})
add_custom_target(compressed_docs ALL DEPENDS hexshow.1.gz changelog.gz)

install(TARGETS hexshow RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_BINARY_DIR}/hexshow.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The name Debian gives the licence, which its tools look for.
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)

# Packages: cmake --workflow --preset package leaves a .deb and a .tar.gz of
# the install tree (under /usr) in build/package.
set(CPACK_GENERATOR DEB TGZ)
set(CPACK_PACKAGE_NAME hexshow)
set(CPACK_PACKAGE_VENDOR "The hexshow developers")
set(CPACK_PACKAGE_CONTACT "The hexshow developers <maintainers@hexshow.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "hexadecimal dump of numbers.bin and arithmetic objects")
set(CPACK_PACKAGE_DESCRIPTION "hexshow prints every byte of the file numbers.bin in the current
directory as two uppercase hexadecimal digits and a space, near the speed
of cat. The package also holds three relocatable objects, quotia.o,
prodia.o and remia.o, with one arithmetic function each (division and
product of doubles, correctly rounded, and the truncated remainder of ints),
their C and C++ header, a CMake package and a pkg-config file.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES bin/hexshow)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps knows the libraries of this machine's architecture only.
# CPack finds the programs it hands to it with file; a missing tool is named
# here, since cpack alone would fail without saying which package to install.
if(NOT CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  find_program(HEXSHOW_FILE file)
  find_program(HEXSHOW_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(NOT HEXSHOW_FILE OR NOT HEXSHOW_DPKG_SHLIBDEPS)
    message(WARNING "The Debian package (cpack -G DEB) needs file and dpkg-shlibdeps "
      "(Debian packages file and dpkg-dev).")
  endif()
endif()
set(CPACK_HEXSHOW_SOURCE_DATE_EPOCH ${source_date_epoch})
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/repack.cmake)
include(CPack)
