# Included by the top-level CMakeLists.txt.
# Release artifacts are the same bytes whoever builds them, wherever and
# whenever, with the same compiler: no build path in debug records,
# installed modes that do not depend on the umask, and package time stamps
# from the release's date.
add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=
                    -ffile-prefix-map=${PROJECT_BINARY_DIR}=.)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# CMake 3.25 still creates missing install directories under the umask, so
# every directory a component's installation needs and does not find is made
# first, then given mode 0755; directories that exist are left as they are.
function(hexshow_install_directories component)
  install(CODE "set(hexshow_install_dirs \"${ARGN}\")" COMPONENT ${component})
  install(CODE [[
    foreach(dir IN LISTS hexshow_install_dirs)
      string(REPLACE "/" ";" parts "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${dir}")
      set(path "")
      foreach(part IN LISTS parts)
        string(APPEND path "/${part}")
        if(part AND NOT IS_DIRECTORY "${path}")
          file(MAKE_DIRECTORY "${path}")
          file(CHMOD "${path}" DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
        endif()
      endforeach()
    endforeach()
  ]] COMPONENT ${component})
endfunction()
hexshow_install_directories(hexshow ${CMAKE_INSTALL_BINDIR} ${CMAKE_INSTALL_MANDIR}/man1
  ${CMAKE_INSTALL_DOCDIR})
hexshow_install_directories(libarith-dev ${CMAKE_INSTALL_INCLUDEDIR}/arith
  ${CMAKE_INSTALL_LIBDIR}/arith ${CMAKE_INSTALL_LIBDIR}/cmake/arith ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  ${CMAKE_INSTALL_MANDIR}/man3 ${CMAKE_INSTALL_DATAROOTDIR}/doc/libarith-dev
  ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides)

# The release's date: that of the change log's first entry, as dpkg takes
# it, so that a checkout and an export of the same commit give the same
# bytes; a build given SOURCE_DATE_EPOCH takes that instead.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS CHANGELOG)
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(source_date_epoch $ENV{SOURCE_DATE_EPOCH})
else()
  file(STRINGS CHANGELOG signature REGEX "^ -- " LIMIT_COUNT 1)
  string(REGEX REPLACE ".*>  " "" changelog_date "${signature}")
  execute_process(COMMAND date -d "${changelog_date}" +%s
    OUTPUT_VARIABLE source_date_epoch OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
if(NOT source_date_epoch MATCHES "^[0-9]+$")
  message(FATAL_ERROR "No release date: SOURCE_DATE_EPOCH or the CHANGELOG's first entry "
    "should give one.")
endif()
