# Read by cpack before it makes each package (CPACK_PROJECT_CONFIG_FILE): it
# refuses the packages that would be wrong under their names.
if(CPACK_INSTALLED_DIRECTORIES)
  # The source archive: the tree at its top, not under the install prefix.
  set(CPACK_PACKAGING_INSTALL_PREFIX "")
  return()
endif()
if(CPACK_HEXSHOW_CROSSCOMPILING)
  message(FATAL_ERROR "This build is cross-compiled: its packages would be labelled with this "
    "machine's architecture and given no Depends, which dpkg-shlibdeps finds for this machine's "
    "libraries only. Make packages on a machine of the target's architecture.")
endif()
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_HEXSHOW_LIBDIR STREQUAL CPACK_HEXSHOW_MULTIARCH_LIBDIR)
  message(FATAL_ERROR "A Debian package installs its libraries in /usr/"
    "${CPACK_HEXSHOW_MULTIARCH_LIBDIR}, and this build in ${CPACK_HEXSHOW_LIBDIR}: configure it with "
    "-DCMAKE_INSTALL_PREFIX=/usr (as the package preset does).")
endif()
# Each .deb's description begins with its own summary line, which CPack
# would otherwise put after the project's.
unset(CPACK_PACKAGE_DESCRIPTION_SUMMARY)
