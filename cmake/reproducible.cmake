# Included by the top-level CMakeLists.txt.
# Release artifacts are the same bytes whoever builds them, wherever and
# whenever, with the same compiler: no build path in debug records,
# installed modes that do not depend on the umask, and package time stamps
# from SOURCE_DATE_EPOCH, which is the last commit's time (or the change
# log's date, outside a git checkout) unless the build is given one.
add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=
                    -ffile-prefix-map=${PROJECT_BINARY_DIR}=.)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# CMake 3.25 still creates missing install directories under the umask, so
# every directory the installation needs and does not find is made first,
# then given mode 0755; directories that exist are left as they are.
set(install_dirs ${CMAKE_INSTALL_BINDIR} ${CMAKE_INSTALL_MANDIR}/man1 ${CMAKE_INSTALL_DOCDIR}
  ${CMAKE_INSTALL_INCLUDEDIR}/arith ${CMAKE_INSTALL_LIBDIR}/arith
  ${CMAKE_INSTALL_LIBDIR}/cmake/arith ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
install(CODE "set(hexshow_install_dirs \"${install_dirs}\")")
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
]])
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(source_date_epoch $ENV{SOURCE_DATE_EPOCH})
elseif(EXISTS ${PROJECT_SOURCE_DIR}/.git)
  execute_process(COMMAND git log -1 --format=%ct
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    OUTPUT_VARIABLE source_date_epoch OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(EXISTS ${PROJECT_SOURCE_DIR}/.git/logs/HEAD)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS .git/logs/HEAD)
  endif()
endif()
if(NOT source_date_epoch MATCHES "^[0-9]+$")
  file(STRINGS CHANGELOG signature REGEX "^ -- " LIMIT_COUNT 1)
  string(REGEX REPLACE ".*>  " "" changelog_date "${signature}")
  execute_process(COMMAND date -d "${changelog_date}" +%s
    OUTPUT_VARIABLE source_date_epoch OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
